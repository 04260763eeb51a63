// winsim/registry: the device nodes' hardware keys ("Device Parameters" under each instance path), stored
// once for the whole simulated PC: the kernel simulation opens them for drivers (IoOpenDeviceRegistryKey),
// the machine's advapi32 and Setup API stand-ins for user mode (SetupDiOpenDevRegKey). Keys are kept by
// instance path, so that what a driver wrote outlives its device objects, as the registry outlives a stack.
// Names of keys and values are case-insensitive. Thread-safe; the rights are checked by the callers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim::registry
{

struct Value
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// `subkey` is a path below the device's hardware key, names separated by backslashes; empty for the key.
bool KeyExists(const std::u16string& instancePath, const std::u16string& subkey);
void CreateKey(const std::u16string& instancePath, const std::u16string& subkey);
std::optional<Value> Read(const std::u16string& instancePath, const std::u16string& subkey,
                          const std::u16string& name);
// Creates the keys on the way.
void Write(const std::u16string& instancePath, const std::u16string& subkey, const std::u16string& name,
           const Value& value);
void Reset();

} // namespace winsim::registry
