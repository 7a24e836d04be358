#pragma once
// The per-user key store: one PEM file per key, named after the key, in
// $XDG_DATA_HOME/vantora/keys (default ~/.local/share/vantora/keys). The
// directory is private to the user (0700) and each key file is 0600.
#include <filesystem>
#include <string_view>

namespace platform {

// The store's directory; empty when neither XDG_DATA_HOME nor a home
// directory is known.
std::filesystem::path KeyStoreDirectory();

// The file that holds the key of that name; empty for a name that cannot be a
// file name (empty, ".", "..", or containing '/' or a zero character).
std::filesystem::path KeyStoreKeyPath(std::wstring_view keyName);

// Creates the key exclusively: false when a key of that name already exists
// or the store cannot be written. A partly written key is removed again.
bool KeyStoreCreateKey(std::wstring_view keyName, std::string_view pem);

// Removes the key; false when there was none or it could not be removed.
bool KeyStoreDeleteKey(std::wstring_view keyName);

}  // namespace platform
