#pragma once

#include <string>

#include "win32/base.h"

// The backup folder's place in the shell: a custom folder icon (".private\folder.ico" and
// desktop.ini inside the folder) and a "My Computer" entry that opens the folder. Written as
// registry rows and files; nothing on Linux shows them, but they are kept exactly so.
// Threading: stateless; callers serialise changes to one folder (the store's SetWorkDir and
//   Open, the UnregisterDrive export).
class CDriveEntry {
 public:
  CDriveEntry() = delete;

  // Decorates the folder when it is not decorated yet, then writes the entry's registry rows
  // with `folder` as target and refreshes the shell. S_OK, or the first registry error.
  static win32::HRESULT Register(const std::u16string& folder);
  // Whether the "My Computer" namespace key exists.
  static bool IsRegistered();
  // Deletes both key trees (missing keys are fine) and refreshes the shell.
  static void Unregister();

  // Creates the folder, its hidden ".private" subfolder with the icon copied in, and its
  // desktop.ini. Returns whether desktop.ini was written.
  static bool Decorate(const std::u16string& folder);
  // Removes what Decorate added; each step's failure is ignored. Nothing for an empty path.
  static void Undecorate(const std::u16string& folder);
  // Whether ".private\folder.ico" exists in the folder.
  static bool IsDecorated(const std::u16string& folder);

  // What the UnregisterDrive export does: Unregister, then undecorate the backup folder named
  // in the settings file (none when there is no file).
  static void UnregisterDrive();

  // "folder.ico" in the folder of the module that holds this code.
  static std::u16string IconSourcePath();
};
