#!/usr/bin/env bash
# Screenshots of the sample town's exports in other programs: the .glb in
# f3d and the .obj imported into Blender (Workbench), written to
# build/screenshots/. With BEFORE=path/to/an/older/convert, that program's
# .glb of the same scene is shown too, for a comparison.
# Needs xvfb-run, f3d and blender (apt-get install -y xvfb f3d blender).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/screenshots/exports
rm -rf "$out" && mkdir -p "$out/town"
cp samples/town/*.geojson "$out/town/"
cp -r build/assets/buildings_texture build/assets/tree_models "$out/town/"
build/bin/blockgen -o "$out/json/city.json" "$out/town" > /dev/null
build/bin/convert --scene "$out/json/city.json" --output "$out/glb/city.glb" > /dev/null
build/bin/convert --scene "$out/json/city.json" --output "$out/obj/city.obj" > /dev/null
xvfb-run -a f3d --camera-index=0 --resolution=1200,800 --output="$out/f3d_after.png" "$out/glb/city.glb"
if [ -n "${BEFORE:-}" ]; then
  "$BEFORE" --scene "$out/json/city.json" --output "$out/before/city.glb" > /dev/null
  xvfb-run -a f3d --camera-index=0 --resolution=1200,800 --output="$out/f3d_before.png" "$out/before/city.glb"
fi
cat > "$out/blender.py" <<PY
import bpy, math
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.wm.obj_import(filepath="$PWD/$out/obj/city.obj")
scene = bpy.context.scene
camera = bpy.data.objects.new("camera", bpy.data.cameras.new("camera"))
scene.collection.objects.link(camera)
camera.location = (-13.0, 1.4, 16.75)  # the city camera, z up in Blender
camera.rotation_euler = (math.radians(50), 0, math.radians(-90))
camera.data.lens = 20
scene.camera = camera
sun = bpy.data.objects.new("sun", bpy.data.lights.new("sun", "SUN"))
sun.rotation_euler = (math.radians(45), 0, math.radians(30))
scene.collection.objects.link(sun)
scene.render.engine = "BLENDER_WORKBENCH"
scene.display.shading.light = "STUDIO"
scene.display.shading.color_type = "MATERIAL"
scene.render.resolution_x, scene.render.resolution_y = 1200, 800
scene.render.filepath = "$PWD/$out/blender_obj.png"
bpy.ops.render.render(write_still=True)
PY
xvfb-run -a blender -b --python "$out/blender.py" > "$out/blender.log" 2>&1 || { tail -20 "$out/blender.log"; exit 1; }
ls "$out"/*.png
