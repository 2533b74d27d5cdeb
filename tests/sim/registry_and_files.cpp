// The simulated machine's registry tree and file system, as the tests
// describe and inspect them. The platform calls over them live in
// simulated_platform.cpp.
#include <stdexcept>

#include "simulated_machine.h"

namespace sim {

namespace {

void markDeleted(RegistryKey& key) {
  key.deleted = true;
  for (auto& entry : key.subkeys) markDeleted(*entry.second);
}

void collectPaths(const RegistryKey& key, std::vector<std::u16string>& paths) {
  for (const auto& entry : key.subkeys) {
    paths.push_back(entry.second->path());
    collectPaths(*entry.second, paths);
  }
}

char16_t foldToUpper(char16_t unit) { return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit; }

bool isSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// Entries below a folder's key start with this.
std::u16string childPrefix(const std::u16string& folderKey) {
  return folderKey.back() == u'\\' ? folderKey : folderKey + u'\\';
}

bool isRootKey(const std::u16string& key) { return key.size() == 3; }  // "C:\"

std::u16string parentKey(const std::u16string& key) {
  const size_t last = key.rfind(u'\\');
  return last <= 2 ? key.substr(0, 3) : key.substr(0, last);
}

}  // namespace

// ---- Registry ----

std::u16string RegistryKey::path() const {
  if (!parent) return {};
  const std::u16string above = parent->path();
  return above.empty() ? name : above + u'\\' + name;
}

Registry::Registry() : root_(std::make_shared<RegistryKey>()) {}

std::optional<std::vector<std::u16string>> Registry::splitPath(std::u16string_view path) {
  std::vector<std::u16string> names;
  if (path.empty()) return names;
  size_t start = 0;
  while (true) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view name = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
    if (name.empty()) return std::nullopt;
    names.emplace_back(name);
    if (end == std::u16string_view::npos) return names;
    start = end + 1;
  }
}

RegistryKey& Registry::addKey(std::u16string_view path) {
  const auto names = splitPath(path);
  if (!names) throw std::invalid_argument("addKey: empty key name in " + toUtf8(path));
  RegistryKey* key = root_.get();
  for (const std::u16string& name : *names) {
    auto found = key->subkeys.find(name);
    if (found == key->subkeys.end()) {
      auto child = std::make_shared<RegistryKey>();
      child->name = name;
      child->parent = key;
      found = key->subkeys.emplace(name, std::move(child)).first;
    }
    key = found->second.get();
  }
  return *key;
}

RegistryKey* Registry::findKey(std::u16string_view path) {
  return const_cast<RegistryKey*>(static_cast<const Registry*>(this)->findKey(path));
}

const RegistryKey* Registry::findKey(std::u16string_view path) const {
  const auto names = splitPath(path);
  if (!names) return nullptr;
  const RegistryKey* key = root_.get();
  for (const std::u16string& name : *names) {
    const auto found = key->subkeys.find(name);
    if (found == key->subkeys.end()) return nullptr;
    key = found->second.get();
  }
  return key;
}

bool Registry::keyExists(std::u16string_view path) const { return findKey(path) != nullptr; }

std::vector<std::u16string> Registry::subkeyNames(std::u16string_view path) const {
  std::vector<std::u16string> names;
  if (const RegistryKey* key = findKey(path)) {
    for (const auto& entry : key->subkeys) names.push_back(entry.second->name);
  }
  return names;
}

std::vector<std::u16string> Registry::allKeyPaths() const {
  std::vector<std::u16string> paths;
  collectPaths(*root_, paths);
  return paths;
}

void Registry::setValue(std::u16string_view keyPath, std::u16string_view name, RegistryValue value) {
  addKey(keyPath).values[std::u16string(name)] = std::move(value);
}

bool Registry::valueExists(std::u16string_view keyPath, std::u16string_view name) const {
  const RegistryKey* key = findKey(keyPath);
  return key && key->values.count(name) > 0;
}

void Registry::denyOpen(std::u16string_view path, uint32_t error) { addKey(path).openError = error; }

void Registry::denyDelete(std::u16string_view path, uint32_t error) { addKey(path).deleteError = error; }

bool Registry::removeKey(std::u16string_view path) {
  RegistryKey* key = findKey(path);
  if (!key || !key->parent) return false;
  markDeleted(*key);
  const std::u16string name = key->name;
  key->parent->subkeys.erase(name);  // may destroy the key, unless a handle still holds it
  return true;
}

// ---- File system ----

std::optional<std::u16string> FileSystem::canonical(std::u16string_view path) {
  if (path.size() < 3 || path[1] != u':' || !isSeparator(path[2])) return std::nullopt;
  const char16_t drive = foldToUpper(path[0]);
  if (drive < u'A' || drive > u'Z') return std::nullopt;

  std::vector<std::u16string_view> names;
  size_t start = 3;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::u16string_view name = path.substr(start, end - start);
    if (name == u"..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != u".") {
      names.push_back(name);
    }
    start = end + 1;
  }

  std::u16string result{drive, u':', u'\\'};
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) result += u'\\';
    result += names[i];
  }
  return result;
}

std::optional<std::u16string> FileSystem::key(std::u16string_view path) {
  std::optional<std::u16string> folded = canonical(path);
  if (folded) {
    for (char16_t& unit : *folded) unit = foldToUpper(unit);
  }
  return folded;
}

FileEntry& FileSystem::addFolder(std::u16string_view path) {
  const std::optional<std::u16string> canonicalPath = canonical(path);
  if (!canonicalPath) throw std::invalid_argument("addFolder: not an absolute path: " + toUtf8(path));
  const std::u16string folderKey = *key(path);
  if (isRootKey(folderKey)) throw std::invalid_argument("addFolder: a drive root exists already");
  const auto found = entries.find(folderKey);
  if (found != entries.end()) {
    if (!found->second.folder) throw std::invalid_argument("addFolder: a file is there: " + toUtf8(path));
    return found->second;
  }
  const std::u16string parent = parentKey(folderKey);
  if (!isRootKey(parent)) addFolder(canonicalPath->substr(0, parent.size()));
  FileEntry& entry = entries[folderKey];
  entry.path = *canonicalPath;
  entry.folder = true;
  return entry;
}

FileEntry& FileSystem::addFile(std::u16string_view path, std::string bytes) {
  const std::optional<std::u16string> canonicalPath = canonical(path);
  if (!canonicalPath) throw std::invalid_argument("addFile: not an absolute path: " + toUtf8(path));
  const std::u16string fileKey = *key(path);
  if (isRootKey(fileKey)) throw std::invalid_argument("addFile: a drive root is a folder");
  const std::u16string parent = parentKey(fileKey);
  if (!isRootKey(parent)) addFolder(canonicalPath->substr(0, parent.size()));
  FileEntry& entry = entries[fileKey];
  if (entry.folder) throw std::invalid_argument("addFile: a folder is there: " + toUtf8(path));
  entry.path = *canonicalPath;
  entry.bytes = std::move(bytes);
  return entry;
}

FileEntry* FileSystem::find(std::u16string_view path) {
  return const_cast<FileEntry*>(static_cast<const FileSystem*>(this)->find(path));
}

const FileEntry* FileSystem::find(std::u16string_view path) const {
  const std::optional<std::u16string> entryKey = key(path);
  if (!entryKey) return nullptr;
  const auto found = entries.find(*entryKey);
  return found == entries.end() ? nullptr : &found->second;
}

bool FileSystem::fileExists(std::u16string_view path) const {
  const FileEntry* entry = find(path);
  return entry && !entry->folder;
}

bool FileSystem::folderExists(std::u16string_view path) const {
  const std::optional<std::u16string> entryKey = key(path);
  if (!entryKey) return false;
  if (isRootKey(*entryKey)) return true;
  const FileEntry* entry = find(path);
  return entry && entry->folder;
}

std::optional<std::string> FileSystem::fileBytes(std::u16string_view path) const {
  const FileEntry* entry = find(path);
  if (!entry || entry->folder) return std::nullopt;
  return entry->bytes;
}

std::vector<std::u16string> FileSystem::files() const {
  std::vector<std::u16string> paths;
  for (const auto& entry : entries) {
    if (!entry.second.folder) paths.push_back(entry.second.path);
  }
  return paths;
}

std::vector<std::u16string> FileSystem::folders() const {
  std::vector<std::u16string> paths;
  for (const auto& entry : entries) {
    if (entry.second.folder) paths.push_back(entry.second.path);
  }
  return paths;
}

bool FileSystem::isEmptyFolder(std::u16string_view path) const {
  const std::optional<std::u16string> folderKey = key(path);
  if (!folderKey) return false;
  const std::u16string prefix = childPrefix(*folderKey);
  const auto next = entries.lower_bound(prefix);
  return next == entries.end() || next->first.compare(0, prefix.size(), prefix) != 0;
}

void FileSystem::setDeleteError(std::u16string_view path, uint32_t error) {
  FileEntry* entry = find(path);
  if (!entry) throw std::invalid_argument("setDeleteError: nothing at " + toUtf8(path));
  entry->deleteError = error;
}

bool FileSystem::remove(std::u16string_view path) {
  const std::optional<std::u16string> entryKey = key(path);
  if (!entryKey || !entries.count(*entryKey)) return false;
  const std::u16string prefix = childPrefix(*entryKey);
  auto next = entries.lower_bound(prefix);
  while (next != entries.end() && next->first.compare(0, prefix.size(), prefix) == 0) next = entries.erase(next);
  entries.erase(*entryKey);
  return true;
}

}  // namespace sim
