// winsim/registry: the store behind every registry call of the simulation (see registry_store.h).
#include "winsim/registry/registry_store.h"

#include <map>
#include <memory>
#include <mutex>

namespace winsim::registry
{
namespace
{

struct Key
{
    std::map<std::u16string, Value> values; // by upper-cased name
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;
};

std::mutex g_lock;
std::map<std::u16string, std::unique_ptr<Key>> g_deviceKeys; // by upper-cased instance path

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
    {
        if (c >= u'a' && c <= u'z')
        {
            c = char16_t(c - u'a' + u'A');
        }
    }
    return text;
}

Key* Child(std::map<std::u16string, std::unique_ptr<Key>>& children, const std::u16string& name, bool create)
{
    auto found = children.find(Upper(name));
    if (found != children.end())
    {
        return found->second.get();
    }
    if (!create)
    {
        return nullptr;
    }
    auto& slot = children[Upper(name)];
    slot = std::make_unique<Key>();
    return slot.get();
}

// The key at `subkey` below a device's hardware key; null when it does not exist and is not to be created.
Key* Find(const std::u16string& instancePath, const std::u16string& subkey, bool create)
{
    Key* key = Child(g_deviceKeys, instancePath, create);
    size_t start = 0;
    while (key != nullptr && start < subkey.size())
    {
        size_t end = subkey.find(u'\\', start);
        std::u16string name =
            subkey.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (!name.empty())
        {
            key = Child(key->subkeys, name, create);
        }
        if (end == std::u16string::npos)
        {
            break;
        }
        start = end + 1;
    }
    return key;
}

} // namespace

bool KeyExists(const std::u16string& instancePath, const std::u16string& subkey)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return Find(instancePath, subkey, false) != nullptr;
}

void CreateKey(const std::u16string& instancePath, const std::u16string& subkey)
{
    std::lock_guard<std::mutex> lock(g_lock);
    Find(instancePath, subkey, true);
}

std::optional<Value> Read(const std::u16string& instancePath, const std::u16string& subkey,
                          const std::u16string& name)
{
    std::lock_guard<std::mutex> lock(g_lock);
    Key* key = Find(instancePath, subkey, false);
    if (key == nullptr)
    {
        return std::nullopt;
    }
    auto found = key->values.find(Upper(name));
    if (found == key->values.end())
    {
        return std::nullopt;
    }
    return found->second;
}

void Write(const std::u16string& instancePath, const std::u16string& subkey, const std::u16string& name,
           const Value& value)
{
    std::lock_guard<std::mutex> lock(g_lock);
    Find(instancePath, subkey, true)->values[Upper(name)] = value;
}

void Reset()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_deviceKeys.clear();
}

} // namespace winsim::registry
