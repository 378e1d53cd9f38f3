#pragma once

#include <QString>
#include <QStringList>

// What the launcher carries in its resources. Built on demand; the file
// names are the ones the generator looks for.
struct ResourceFiles {
  QString generator = ":/config/program/blockgen.exe";
  QString converter = ":/config/program/convert.exe";
  QString viewer = ":/config/program/view.exe";
  QStringList textures;
  QStringList treeModels;
  QString textureFolder = "buildings_texture";
  QString treeModelFolder = "tree_models";

  ResourceFiles();
};

// The three programs the launcher carries.
enum class Program { Generator, Converter, Viewer };

// Path of the program copy that the next (renew = true) or current run
// executes: programDir + "/" + a fresh UUID + ".exe".
QString generatorProgramPath(bool renew);
QString converterProgramPath(bool renew);
QString viewerProgramPath(bool renew);

// Copy a program from the resources to its current path (as the
// *ProgramPath functions last set it) and make the copy executable.
void deployProgram(Program program);

// Delete the program's current copy (a missing copy is fine).
void removeProgram(Program program);

// Copy the façade images and tree models into folder/buildings_texture and
// folder/tree_models, making the folders when needed. Existing files are
// kept as they are. Nothing happens when the folder does not exist.
void deployModels(const QString &folder);

// Undo deployModels on the folder: delete the files it copied and then the
// folders it made, if they are empty. Files and folders that were there
// before (or were put there since) stay.
void removeModels(const QString &folder);

// Delete the folder of program copies with everything in it.
void removeProgramDir();
