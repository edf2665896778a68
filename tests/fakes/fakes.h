// Controls for the doubles that stand in for the system in unit tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/os_version.h"

// OS version query: the record GetOSVersion returns; nullptr makes it fail.
// The default is a Windows XP Professional SP2 record.
void SetFakeOSVersion(const OSVersionRecord* record);

// Tick count: a fixed value; ResetFakeTickCount returns to a steady clock.
void SetFakeTickCount(uint32_t milliseconds);
void ResetFakeTickCount();

// Module version resource: what CModuleVersionInfo::SetModule finds.
void SetFakeModuleVersion(const std::string& fileVersion, const std::string& privateBuild);

// Settings store: an in-memory HKCU. Values keep their type and raw bytes, so
// wrong types and sizes can be planted as they can in a real registry.
void FakeRegistryReset();
void FakeRegistryCreateKey(const std::string& key);
bool FakeRegistryKeyExists(const std::string& key);
void FakeRegistrySetRaw(const std::string& key, const std::string& name, uint32_t type,
                        const std::string& bytes);
void FakeRegistrySetText(const std::string& key, const std::string& name, const std::string& text);
void FakeRegistrySetNumber(const std::string& key, const std::string& name, int32_t value);
bool FakeRegistryGetRaw(const std::string& key, const std::string& name, uint32_t* type,
                        std::string* bytes);
std::vector<std::string> FakeRegistryValueNames(const std::string& key);  // in write order
