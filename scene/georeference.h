#pragma once
// Where a scene lies on the Earth: the longitudes and latitudes of its
// normalised square's edges and the metres one scene unit spans along x
// (east) and z (north). A scene made from a map knows them; others do not.

struct scene_georeference {
  bool   known     = false;
  double half_size = 25;  // the square spans -half_size ... half_size
  double west = 0, south = 0, east = 0, north = 0;  // degrees
  double metres_per_unit_x = 0, metres_per_unit_z = 0;  // 0: no extent
};
