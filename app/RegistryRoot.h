// The process-wide registry root: HKEY_CURRENT_USER on Windows Vista and later, where the quotes
// application records itself per user, and HKEY_LOCAL_MACHINE on every earlier Windows.
//
// RegistryRoot is null until SelectRegistryRoot writes it, once, as the last start-up
// initialiser (after the string pools); it is only read afterwards.
#pragma once

#include "WindowsVersion.h"

#include <windows.h>

extern HKEY RegistryRoot;

/// The running Windows, by GetVersion and GetVersionExA.
WindowsVersion ClassifyWindowsVersion();

/// ClassifyWindowsVersion() == VistaOrLater.
bool IsVistaOrLater();

/// Start-up initialiser: classifies the version (the only time it runs) and fixes RegistryRoot.
void SelectRegistryRoot();
