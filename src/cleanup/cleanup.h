// Cleanup mode: removes everything the product left on the machine.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// The whole cleanup sequence, in its fixed order. An empty install folder
// means it could not be determined; the steps inside it are then skipped.
void RunCleanup(const std::u16string& installFolder);

// Deletes parent\name with all its subkeys, depth first, reporting each step.
// 0 on success, the platform's error code, or 21 when subkeys remained.
uint32_t DeleteKeyTree(platform::RegKey parent, const char16_t* name);

// Opens HKLM\subKey with full access, creating it if missing; null on failure.
platform::UniqueRegKey CreateLocalMachineKey(const char16_t* subKey);

// ---- The sequence's steps ----
void RemoveDriverAndFilter();
void DeleteBootService();
void DeleteUninstallEntry();
void DeleteInstallFolderFiles(const std::u16string& installFolder);
void RemoveInstallRecordItems(const std::u16string& installFolder);
void WriteSelfDeleteScript(const std::u16string& installFolder);

// ---- Disk filter deregistration ----
bool DeregisterDiskFilter();
bool RemoveUpperFilterDriver(platform::DevInfoSet set, platform::DevInfoData* device, const char16_t* filterName);
// The property's bytes followed by two zero UTF-16 units, so any text in it
// ends within the buffer even when the stored value lacks its terminators.
// Null when the device has no such property or it can't be read.
platform::UniqueHeapBuffer GetDeviceRegistryProperty(platform::DevInfoSet set, platform::DevInfoData* device,
                                                     uint32_t property, uint32_t* registryType);
// Removes every entry equal to name (ASCII letters folded) from a terminated
// multi-string, in place; returns how many went and sets *length to the
// edited list's length in units.
uint32_t RemoveMultiSzEntries(char16_t* list, const char16_t* name, uint32_t* length);
// Length in units of a terminated multi-string, its final zero included.
uint32_t MultiSzUnitCount(const char16_t* list);
