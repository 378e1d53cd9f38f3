#pragma once
// Caps, walls and roofs of area features, and the building textures.
