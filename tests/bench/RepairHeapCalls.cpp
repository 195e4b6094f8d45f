// Counts the heap calls of one whole repair on a prepared PC and prints them as JSON.
#include "RegistryRoot.h"
#include "RepairProcedure.h"
#include "RepairTexts.h"

#include "CountingHeap.h"
#include "WineOnly.h"

#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    if (!RunsUnderWine()) {
        std::fprintf(stderr, "%s\n", WineOnlyRefusal);
        return 2;
    }
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string directory = std::string(temp) + "FundTableRepairBench\\";
    const std::string table = directory + RepairFileName;
    CreateDirectoryA(directory.c_str(), nullptr);
    CloseHandle(CreateFileA(table.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    HKEY key;
    RegCreateKeyExA(RegistryRoot, RepairSubKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    RegSetValueExA(key, RepairValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(directory.c_str()),
        static_cast<DWORD>(directory.size()) + 1);
    RegCloseKey(key);

    const CountingHeap::Counts before = CountingHeap::Current();
    const bool succeeded = RunRepair();
    const CountingHeap::Counts after = CountingHeap::Current();

    RegDeleteKeyA(RegistryRoot, RepairSubKeyPath);
    RemoveDirectoryA(directory.c_str());
    std::printf("{\"allocations\": %ld, \"releases\": %ld, \"succeeded\": %s}\n",
        after.allocations - before.allocations, after.releases - before.releases, succeeded ? "true" : "false");
    return succeeded ? 0 : 1;
}
