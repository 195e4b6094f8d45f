#include "RegistryRoot.h"

#include "StartupOrder.h"

#include <cstddef>
#include <cstdlib>

static_assert(sizeof(VersionRecord) == sizeof(OSVERSIONINFOA) &&
                  offsetof(VersionRecord, dwMajorVersion) == offsetof(OSVERSIONINFOA, dwMajorVersion) &&
                  offsetof(VersionRecord, dwMinorVersion) == offsetof(OSVERSIONINFOA, dwMinorVersion),
    "VersionRecord is OSVERSIONINFOA");

HKEY RegistryRoot = nullptr;

namespace {

constexpr WindowsVersionPlatform Win32VersionPlatform = {
    [] { return static_cast<uint32_t>(GetVersion()); },
    [](std::size_t bytes) { return std::malloc(bytes); },
    [](void* memory) { std::free(memory); },
    [](VersionRecord* record) { GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(record)); },
};

} // namespace

WindowsVersion ClassifyWindowsVersion() { return ClassifyWindowsVersion(Win32VersionPlatform); }

bool IsVistaOrLater() { return ClassifyWindowsVersion() == VistaOrLater; }

void SelectRegistryRoot() { RegistryRoot = IsVistaOrLater() ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

namespace {

struct RegistryRootInitialiser {
    RegistryRootInitialiser() { SelectRegistryRoot(); }
};
RegistryRootInitialiser registryRootInitialiser STARTUP_ORDER_AFTER_STRING_POOLS;

} // namespace
