#pragma once

class QApplication;

// Installs the dark theme from ":/config/style/stylesheet.css". Returns
// false, leaving the platform style, when the style sheet cannot be read.
bool installStyleSheet(QApplication &app);
