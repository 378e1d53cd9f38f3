#pragma once

#include <QPair>
#include <QString>

// The launcher's settings: the base folder it works in and the last paths
// of the three panels, kept in base + "/config/config.ini" (INI, UTF-8).
// One instance per process, created on first use and never freed.
class AppConfig {
public:
  static AppConfig *instance();

  // Stores the base folder, makes the config and program folders under it
  // and loads (or seeds) config.ini there.
  void setBasePath(const QString &path);

  QString basePath() const { return basePath_; }
  QString configDir() const;
  QString programDir() const;
  QString iniPath() const;

  QPair<QString, QString> generateCityPaths() const { return {generateInput_, generateOutput_}; }
  QPair<QString, QString> convertFormatPaths() const { return {convertInput_, convertOutput_}; }
  QString displaySceneInput() const { return displayInput_; }
  int count() const { return count_; }

  // Each setter stores the values and writes them to config.ini at once.
  void setGenerateCityPaths(const QString &input, const QString &output);
  void setConvertFormatPaths(const QString &input, const QString &output);
  void setDisplaySceneInput(const QString &input);

private:
  AppConfig() = default;
  void loadSettings();

  QString basePath_;
  QString generateInput_;
  QString generateOutput_;
  QString convertInput_;
  QString convertOutput_;
  QString displayInput_;
  int count_ = 100;
};
