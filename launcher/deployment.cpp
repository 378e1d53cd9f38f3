#include "launcher/deployment.h"

#include "launcher/appconfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QUuid>

ResourceFiles::ResourceFiles() {
  // Façade images: the plain numbers stop at 8, then storey ranges.
  for (const char *name : {"1.jpg", "2.jpg", "3.jpg", "4.jpg", "5.jpg", "6.jpg", "7.jpg", "8.jpg",
                           "8_11.jpg", "10_41.jpg", "40_71.jpg", "70_101.jpg", "colosseo.jpg",
                           "more_101.jpg"}) {
    textures << QString(":/config/model/buildings_texture/") + name;
  }
  for (const char *name : {"cypress.ply", "oak.ply", "palm.ply", "pine.ply", "standard.ply"}) {
    treeModels << QString(":/config/model/tree_models/") + name;
  }
}

namespace {

QString generatorPath;
QString converterPath;
QString viewerPath;

QString programPath(QString &path, bool renew) {
  if (renew) {
    const QString uuid = QUuid::createUuid().toString().remove('{').remove('}');
    path = QString("%1/%2.exe").arg(AppConfig::instance()->programDir(), uuid);
  }
  return path;
}

QString &currentPath(Program program) {
  switch (program) {
  case Program::Converter: return converterPath;
  case Program::Viewer: return viewerPath;
  case Program::Generator: break;
  }
  return generatorPath;
}

QString programResource(Program program) {
  const ResourceFiles resources;
  switch (program) {
  case Program::Converter: return resources.converter;
  case Program::Viewer: return resources.viewer;
  case Program::Generator: break;
  }
  return resources.generator;
}

// A copy from the resources comes out read-only; the program copy must
// also be executable before it can start.
void copyProgram(const QString &resource, const QString &target) {
  QFile::copy(resource, target);
  QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther);
}

// Clears a read-only attribute first, which would block the deletion.
void removeFile(const QString &path) {
  if (path.isEmpty()) return; // the program never ran
  QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther |
                                  QFile::WriteOther);
  QFile::remove(path);
}

// What deployModels made in one input folder, so that removeModels takes
// away exactly that and never the user's own files.
struct ModelDeployment {
  QStringList madeFolders;
  QStringList copiedFiles;
};

QHash<QString, ModelDeployment> &modelDeployments() {
  static QHash<QString, ModelDeployment> deployments;
  return deployments;
}

QString deploymentKey(const QString &folder) {
  return QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
}

void copyModels(const QStringList &resources, const QString &targetFolder,
                ModelDeployment &made) {
  if (!QDir(targetFolder).exists()) {
    if (QDir().mkdir(targetFolder)) made.madeFolders << targetFolder;
  }
  for (const QString &resource : resources) {
    const QString target = targetFolder + "/" + QFileInfo(resource).fileName();
    // QFile::copy never overwrites: a file already there keeps its content.
    if (QFile::copy(resource, target)) made.copiedFiles << target;
  }
}

} // namespace

QString generatorProgramPath(bool renew) { return programPath(generatorPath, renew); }
QString converterProgramPath(bool renew) { return programPath(converterPath, renew); }
QString viewerProgramPath(bool renew) { return programPath(viewerPath, renew); }

void deployProgram(Program program) {
  copyProgram(programResource(program), currentPath(program));
}

void removeProgram(Program program) { removeFile(currentPath(program)); }

void deployModels(const QString &folder) {
  if (folder.isEmpty() || !QDir(folder).exists()) return;
  const ResourceFiles resources;
  ModelDeployment &made = modelDeployments()[deploymentKey(folder)];
  copyModels(resources.textures, folder + "/" + resources.textureFolder, made);
  copyModels(resources.treeModels, folder + "/" + resources.treeModelFolder, made);
}

void removeModels(const QString &folder) {
  if (folder.isEmpty()) return;
  const ModelDeployment made = modelDeployments().take(deploymentKey(folder));
  for (const QString &file : made.copiedFiles) removeFile(file);
  // rmdir removes empty folders only: anything put there since stays.
  for (const QString &dir : made.madeFolders) QDir().rmdir(dir);
}

void removeProgramDir() { QDir(AppConfig::instance()->programDir()).removeRecursively(); }
