#pragma once
// Flat caps: an outline with holes filled with triangles.
