#include "scene/shape_io.h"

#include "scene/scene.h"

// The PLY and OBJ codecs arrive with the shape files work.
bool load_shape(const std::string& filename, std::vector<int>&, std::vector<vec2i>&,
                std::vector<vec3i>&, std::vector<vec4i>&, std::vector<vec4i>&,
                std::vector<vec4i>&, std::vector<vec4i>&, std::vector<vec3f>&,
                std::vector<vec3f>&, std::vector<vec2f>&, std::vector<vec4f>&,
                std::vector<float>&, std::string& error, bool, bool) {
  return error = filename + ": unknown format", false;
}

bool save_shape(const std::string& filename, const std::vector<int>&,
                const std::vector<vec2i>&, const std::vector<vec3i>&,
                const std::vector<vec4i>&, const std::vector<vec4i>&,
                const std::vector<vec4i>&, const std::vector<vec4i>&,
                const std::vector<vec3f>&, const std::vector<vec3f>&,
                const std::vector<vec2f>&, const std::vector<vec4f>&,
                const std::vector<float>&, std::string& error, bool) {
  return error = filename + ": unknown format", false;
}

bool load_shape(const std::string& filename, scene_shape& shape, std::string& error,
                bool facevarying, bool flip_texcoord) {
  return load_shape(filename, shape.points, shape.lines, shape.triangles, shape.quads,
                    shape.quadspos, shape.quadsnorm, shape.quadstexcoord, shape.positions,
                    shape.normals, shape.texcoords, shape.colors, shape.radius, error,
                    facevarying, flip_texcoord);
}

bool save_shape(const std::string& filename, const scene_shape& shape, std::string& error,
                bool flip_texcoord) {
  return save_shape(filename, shape.points, shape.lines, shape.triangles, shape.quads,
                    shape.quadspos, shape.quadsnorm, shape.quadstexcoord, shape.positions,
                    shape.normals, shape.texcoords, shape.colors, shape.radius, error,
                    flip_texcoord);
}
