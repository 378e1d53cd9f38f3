#!/usr/bin/env python3
"""Writes the bundled sample town: samples/town/{buildings,ways,nature}.geojson.

A small made-up town of about 600 m x 600 m: a river on the west side with a
stream joining it, a park with a lake in the north-east, woods beyond the
river, a street grid with a main street and a cross street, rows of houses
from one to twelve storeys, a tower, a few landmarks and trees of every
species. Everything is placed by hand in metres east and north of a corner
and turned into degrees here; nothing is random, so every run writes the
same files.
"""

import json
import math
import os

LON0, LAT0 = 10.39, 43.712  # south-west corner
M_PER_DEG_LAT = 111320.0
M_PER_DEG_LON = M_PER_DEG_LAT * math.cos(math.radians(LAT0))

next_way, next_node = [100001], [500001]


def lonlat(x, y):
    return [round(LON0 + x / M_PER_DEG_LON, 7), round(LAT0 + y / M_PER_DEG_LAT, 7)]


def way_id():
    next_way[0] += 1
    return "way/%d" % (next_way[0] - 1)


def node_id():
    next_node[0] += 1
    return "node/%d" % (next_node[0] - 1)


def ring(points):
    """A closed ring in degrees from (x, y) metres, counter-clockwise."""
    area = sum(a[0] * b[1] - b[0] * a[1] for a, b in zip(points, points[1:] + points[:1]))
    if area < 0:
        points = list(reversed(points))
    coords = [lonlat(x, y) for x, y in points]
    return coords + [coords[0]]


def rect(x, y, w, h):
    return [(x, y), (x + w, y), (x + w, y + h), (x, y + h)]


def ellipse(cx, cy, rx, ry, n):
    return [(cx + rx * math.cos(2 * math.pi * i / n), cy + ry * math.sin(2 * math.pi * i / n))
            for i in range(n)]


def feature(osm_id, tags, geometry):
    properties = {"@id": osm_id}
    properties.update(tags)
    return {"type": "Feature", "properties": properties, "geometry": geometry}


def polygon(tags, outer, *inner, osm_id=None):
    rings = [ring(outer)] + [list(reversed(ring(r))) for r in inner]
    return feature(osm_id or way_id(), tags, {"type": "Polygon", "coordinates": rings})


def multipolygon(osm_id, tags, *polygons):
    coords = [[ring(p[0])] + [list(reversed(ring(r))) for r in p[1:]] for p in polygons]
    return feature(osm_id, tags, {"type": "MultiPolygon", "coordinates": coords})


def line(tags, points):
    return feature(way_id(), tags, {"type": "LineString", "coordinates": [lonlat(x, y) for x, y in points]})


def multiline(osm_id, tags, *lines):
    coords = [[lonlat(x, y) for x, y in l] for l in lines]
    return feature(osm_id, tags, {"type": "MultiLineString", "coordinates": coords})


def point(tags, x, y):
    return feature(node_id(), tags, {"type": "Point", "coordinates": lonlat(x, y)})


# ---------------------------------------------------------------------------
# Buildings

buildings = []


def house(x, y, w, h, levels=None, **tags):
    all_tags = {"building": tags.pop("building", "yes")}
    if levels is not None:
        all_tags["building:levels"] = str(levels)
    for key, value in tags.items():
        all_tags[key.replace("__", ":")] = value
    buildings.append(polygon(all_tags, rect(x, y, w, h)))


# The old quarter south of the main street, between the river and the cross street.
house(110, 160, 22, 16, 2, roof__shape="gabled", roof__height="3")
house(134, 160, 18, 16, 3, roof__shape="gabled", roof__height="3.5")
house(154, 160, 20, 16, 1, roof__shape="pyramid", roof__height="2")
house(176, 160, 18, 16, 4)
house(110, 272, 20, 18, 3, roof__shape="gabled", roof__height="null")
house(132, 272, 24, 18, 5, roof__shape="flat")
house(158, 272, 18, 18, 2)
house(210, 160, 26, 20, 6, roof__shape="flat")
house(238, 160, 24, 20, 7)
house(264, 160, 26, 20, 8, roof__shape="flat")
house(210, 262, 30, 26, 9)
house(250, 262, 34, 26, 10, roof__shape="flat")
house(110, 20, 30, 22, 1, building="garage")
house(150, 20, 24, 22, 2, building="house", roof__shape="gabled", roof__height="4")
house(180, 20, 24, 22, 2, building="house", roof__shape="pyramid", roof__height="3")
house(210, 20, 26, 24, 3, building="house")
house(244, 20, 40, 30, 10, building="apartments")  # counted as three storeys
house(110, 100, 22, 30, height="12")
house(140, 100, 22, 30, height="15 m")
house(170, 100, 24, 30, building="retail", building__height="7")

# The new town east of the cross street: blocks of flats, offices and the tower.
house(310, 160, 36, 24, 11, roof__shape="flat")
house(352, 160, 36, 24, 12, roof__shape="flat")
house(410, 160, 34, 34, 30, building="office", roof__shape="flat", name="Torre Nuova")
house(452, 160, 40, 26, 6, building="commercial")
house(510, 160, 30, 30, 8, roof__shape="flat")
house(550, 160, 34, 30, 5, roof__shape="gabled", roof__height="4")
house(310, 262, 40, 26, 7, roof__shape="flat")
house(410, 262, 30, 26, 4, roof__shape="hipped")  # an unknown shape: a plain cap
house(452, 262, 36, 26, 2, roof__shape="gabled", roof__height="3")
house(510, 20, 40, 40, 1, building="supermarket", roof__shape="flat")
house(560, 20, 30, 40, 3)
house(510, 90, 24, 40, "2;3")  # a list of values gives no number

# North of the main street, west of the park.
house(110, 320, 22, 20, 3, roof__shape="gabled", roof__height="3")
house(134, 320, 22, 20, 4, roof__shape="gabled", roof__height="3")
house(158, 320, 24, 20, 5)
house(110, 420, 24, 20, 2, building="house", roof__shape="pyramid", roof__height="2.5")
house(140, 420, 24, 20, 1, building="shed")
house(310, 320, 40, 30, 6, roof__shape="flat")
house(310, 410, 34, 26, 9, building="hotel")  # counted as three storeys
house(210, 470, 28, 22, 3, roof__shape="gabled", roof__height="3")
house(244, 470, 28, 22, 4, roof__shape="gabled", roof__height="3")
house(310, 470, 30, 22, 5, roof__shape="pyramid", roof__height="4")

# A palazzo round a courtyard (a polygon with an inner ring).
buildings.append(polygon({"building": "yes", "building:levels": "5", "roof:shape": "flat"},
                         rect(210, 320, 80, 80), rect(235, 345, 30, 30)))

# Landmarks: a yellow church with an onion dome, a brown museum, the arena.
buildings.append(polygon({"building": "church", "historic": "yes", "building:colour": "yellow",
                          "building:levels": "3", "roof:shape": "onion", "roof:height": "8",
                          "name": "San Michele"},
                         [(200, 510), (236, 510), (236, 560), (218, 572), (200, 560)]))
buildings.append(polygon({"building": "museum", "tourism": "attraction", "building:colour": "brown",
                          "building:levels": "4", "name": "Museo Civico"},
                         rect(350, 500, 40, 34)))
buildings.append(multipolygon("relation/1834818",
                              {"type": "multipolygon", "building": "yes", "historic": "archaeological_site",
                               "building:levels": "4", "name": "Arena"},
                              [ellipse(350, 80, 48, 38, 24), ellipse(350, 80, 26, 17, 16)]))

# ---------------------------------------------------------------------------
# Streets, footways and waterways

ways = []
ways.append(line({"highway": "primary", "name": "Corso Grande"},
                 [(0, 300), (60, 300), (110, 302), (200, 300), (300, 300), (400, 300), (600, 300)]))
ways.append(line({"highway": "secondary", "name": "Via del Ponte"}, [(300, 0), (300, 150), (300, 300), (300, 460), (300, 600)]))
ways.append(line({"highway": "residential", "name": "Via dei Tigli"}, [(200, 0), (200, 150), (200, 300), (200, 460)]))
ways.append(line({"highway": "residential", "name": "Via Larga"}, [(400, 300), (400, 400)]))
ways.append(line({"highway": "residential", "name": "Via Corta"}, [(500, 0), (500, 150), (500, 300)]))
ways.append(line({"highway": "residential", "name": "Via Lunga"}, [(100, 150), (200, 150), (300, 150), (400, 150), (600, 150)]))
ways.append(line({"highway": "residential", "name": "Via Alta"}, [(100, 460), (200, 460), (300, 460), (400, 400)]))
ways.append(line({"highway": "tertiary", "name": "Lungofiume"},
                 [(100, 0), (104, 80), (100, 150), (106, 220), (100, 300), (104, 400), (100, 460), (112, 540), (130, 600)]))
ways.append(line({"highway": "service"}, [(440, 60), (500, 60)]))
ways.append(line({"highway": "footway"}, [(420, 430), (450, 445), (480, 442), (520, 455), (540, 480), (530, 510)]))
ways.append(line({"highway": "path", "surface": "gravel"}, [(420, 560), (470, 530), (520, 520), (580, 540)]))
ways.append(line({"highway": "steps", "step_count": "24"}, [(350, 130), (350, 148)]))
ways.append(line({"highway": "footway", "footway": "sidewalk"}, [(205, 150), (205, 300)]))
ways.append(line({"highway": "pedestrian", "name": "Via del Teatro"}, [(300, 80), (303, 80)]))
ways.append(polygon({"highway": "pedestrian", "area": "yes", "name": "Piazza del Mercato"},
                    rect(300, 500, 40, 40)))
ways.append(line({"barrier": "wall"}, [(560, 400), (600, 400)]))  # not part of the city
# The river runs north to south; a stream with two arms joins it.
ways.append(line({"waterway": "river", "name": "Fiume Verde"},
                 [(70, 600), (84, 520), (66, 440), (88, 360), (74, 280), (92, 200), (76, 120), (86, 40), (80, 0)]))
ways.append(multiline("relation/3001", {"waterway": "stream", "name": "Rio Secco", "type": "waterway"},
                      [(300, 600), (250, 580), (180, 560), (120, 545), (84, 520)],
                      [(220, 600), (205, 580), (180, 560)]))
ways.append(line({"waterway": "canal", "name": "Canale"}, [(92, 200), (150, 205), (190, 215)]))

# ---------------------------------------------------------------------------
# Green areas, water and trees

nature = []
nature.append(polygon({"leisure": "park", "name": "Giardino Pubblico"},
                      [(410, 410), (600, 410), (600, 600), (410, 600)]))
nature.append(polygon({"natural": "water", "water": "lake"}, ellipse(480, 480, 45, 28, 18)))
nature.append(polygon({"leisure": "pitch", "sport": "soccer"}, rect(540, 540, 50, 40)))
nature.append(polygon({"landuse": "grass"}, rect(322, 206, 60, 40)))
nature.append(polygon({"landuse": "grass"}, [(108, 180), (118, 180), (120, 260), (108, 262)]))
nature.append(polygon({"landuse": "meadow"}, rect(130, 500, 50, 40)))
nature.append(polygon({"landuse": "forest", "leaf_type": "needleleaved"},
                      [(0, 260), (50, 270), (56, 380), (44, 480), (50, 600), (0, 600)]))
nature.append(multipolygon("relation/2001", {"type": "multipolygon", "natural": "wood"},
                           [[(0, 0), (60, 0), (64, 120), (50, 220), (0, 230)], ellipse(30, 110, 14, 20, 10)]))
nature.append(polygon({"landuse": "industrial"}, rect(440, 20, 50, 30)))  # not part of the city

# Oaks in the park, pines along the woods, cypresses by the arena and the
# church, palms along the main street, plain trees along the side streets.
for x, y in [(430, 520), (450, 560), (520, 570), (560, 520), (575, 440), (440, 470)]:
    nature.append(point({"natural": "tree", "genus": "Quercus", "leaf_type": "broadleaved"}, x, y))
for x, y in [(60, 250), (62, 330), (58, 420), (30, 500), (20, 560), (100, 530)]:
    nature.append(point({"natural": "tree", "genus": "Pinus"}, x, y))
for x, y in [(292, 40), (292, 60), (292, 80), (292, 100), (292, 120), (244, 520), (244, 540)]:
    nature.append(point({"natural": "tree", "genus": "Cupressus", "species": "Cupressus sempervirens"}, x, y))
for x in range(320, 600, 40):
    nature.append(point({"natural": "tree", "type": "palm"}, x, 294))
for y in range(20, 300, 40):
    nature.append(point({"natural": "tree"}, 206, y))
nature.append(point({"natural": "tree", "tree": "yes"}, 390, 230))
nature.append(point({"natural": "tree", "genus": "Tilia"}, 360, 230))
nature.append(point({"amenity": "bench"}, 470, 440))  # not part of the city


def write(name, features):
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "town")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write('{\n"type": "FeatureCollection",\n"features": [\n')
        out.write(",\n".join(json.dumps(f, ensure_ascii=False) for f in features))
        out.write("\n]\n}\n")


write("buildings.geojson", buildings)
write("ways.geojson", ways)
write("nature.geojson", nature)
