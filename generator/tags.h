#pragma once
// OpenStreetMap tag rules: what a feature is and how it looks.
