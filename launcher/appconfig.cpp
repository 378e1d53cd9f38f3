#include "launcher/appconfig.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>

namespace {

const char *const kCountKey = "/Config/Count";
const char *const kGenerateInputKey = "/GenerateCity/Input";
const char *const kGenerateOutputKey = "/GenerateCity/Output";
const char *const kConvertInputKey = "/ConvertFormat/Input";
const char *const kConvertOutputKey = "/ConvertFormat/Output";
const char *const kDisplayInputKey = "/DisplayScene/Input";
const int kInitialCount = 100;

// Non-ASCII paths are stored as UTF-8 text, not as escapes.
void openIni(QSettings &settings) { settings.setIniCodec("UTF-8"); }

} // namespace

AppConfig *AppConfig::instance() {
  static AppConfig *config = nullptr;
  static QMutex mutex;
  if (!config) {
    QMutexLocker lock(&mutex);
    if (!config) config = new AppConfig;
  }
  return config;
}

void AppConfig::setBasePath(const QString &path) {
  basePath_ = path;
  loadSettings();
}

QString AppConfig::configDir() const { return basePath_ + "/config"; }
QString AppConfig::programDir() const { return configDir() + "/program"; }
QString AppConfig::iniPath() const { return configDir() + "/config.ini"; }

void AppConfig::loadSettings() {
  // Everything comes from this base folder's file: a launcher starts with
  // the initial values, whatever an earlier base folder held.
  generateInput_.clear();
  generateOutput_.clear();
  convertInput_.clear();
  convertOutput_.clear();
  displayInput_.clear();
  count_ = kInitialCount;

  for (const QString &folder : {basePath_, configDir(), programDir()}) {
    if (!QDir(folder).exists()) QDir().mkpath(folder);
  }

  QSettings settings(iniPath(), QSettings::IniFormat);
  openIni(settings);
  if (QFileInfo::exists(iniPath())) {
    // Complete a file with missing keys; values present are kept.
    const QList<QPair<const char *, QVariant>> defaults = {
        {kCountKey, count_},
        {kGenerateInputKey, generateInput_},
        {kGenerateOutputKey, generateOutput_},
        {kConvertInputKey, convertInput_},
        {kConvertOutputKey, convertOutput_},
        {kDisplayInputKey, displayInput_}};
    for (const auto &entry : defaults) {
      if (!settings.contains(entry.first)) settings.setValue(entry.first, entry.second);
    }
    generateInput_ = settings.value(kGenerateInputKey, generateInput_).toString();
    generateOutput_ = settings.value(kGenerateOutputKey, generateOutput_).toString();
    convertInput_ = settings.value(kConvertInputKey, convertInput_).toString();
    convertOutput_ = settings.value(kConvertOutputKey, convertOutput_).toString();
    displayInput_ = settings.value(kDisplayInputKey, displayInput_).toString();
    count_ = settings.value(kCountKey, kInitialCount).toInt();
  } else {
    settings.setValue(kCountKey, count_);
    settings.setValue(kGenerateInputKey, generateInput_);
    settings.setValue(kGenerateOutputKey, generateOutput_);
    settings.setValue(kConvertInputKey, convertInput_);
    settings.setValue(kConvertOutputKey, convertOutput_);
    settings.setValue(kDisplayInputKey, displayInput_);
  }
}

void AppConfig::setGenerateCityPaths(const QString &input, const QString &output) {
  generateInput_ = input;
  generateOutput_ = output;
  QSettings settings(iniPath(), QSettings::IniFormat);
  openIni(settings);
  settings.setValue(kGenerateInputKey, input);
  settings.setValue(kGenerateOutputKey, output);
}

void AppConfig::setConvertFormatPaths(const QString &input, const QString &output) {
  convertInput_ = input;
  convertOutput_ = output;
  QSettings settings(iniPath(), QSettings::IniFormat);
  openIni(settings);
  settings.setValue(kConvertInputKey, input);
  settings.setValue(kConvertOutputKey, output);
}

void AppConfig::setDisplaySceneInput(const QString &input) {
  displayInput_ = input;
  QSettings settings(iniPath(), QSettings::IniFormat);
  openIni(settings);
  settings.setValue(kDisplayInputKey, input);
}
