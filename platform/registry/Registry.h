// The registry: keys with subkeys and values, one SQLite database per store.
//
// A store is a file (the current user's, the machine's, another user's by profile id, or any
// file); nothing is opened until the first operation, a read of an absent file creates nothing,
// and a write creates the file (mode 0600, owned by the store's user). A root process works in
// another user's store as that user, and never through a link (paths::OpenOwnedDir). Key paths use
// backslashes
// ("Software\\Norvale\\ZR40UpReg"); names compare without regard to ASCII case and keep the
// creator's spelling. Every operation, and every Read/Write block, is one transaction, so two
// processes may use a store at once and a killed writer leaves each value whole, old or new.
// Strings are stored as the bytes given (with a terminating zero when the writer asks for it).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fd/UniqueFd.h"
#include "platform/paths/Paths.h"

struct sqlite3;

namespace platform::registry {

enum class Kind {
    kOk,
    kNotFound,      // key, value or store file absent; also past the end of an enumeration
    kTypeMismatch,  // a string read as a number or the reverse
    kBadArgument,   // an empty or malformed name, a copy into itself, a write in a read block
    kBusy,          // another process held the store past the busy time-out
    kDamaged,       // the file is not a store or is damaged
    kIo,            // the file or its folder could not be created, opened or written
};

struct [[nodiscard]] Error {
    Kind kind = Kind::kOk;
    std::string text;

    bool ok() const { return kind == Kind::kOk; }
};

template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : m_value(std::move(value)) {}      // NOLINT(google-explicit-constructor)
    Result(Error error) : m_error(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return m_value.has_value(); }
    Kind kind() const { return m_error.kind; }
    const Error& error() const { return m_error; }
    const T& value() const { return *m_value; }
    T& value() { return *m_value; }

  private:
    std::optional<T> m_value;
    Error m_error;
};

enum class ValueType : std::uint8_t { kString = 1, kDword = 4 };
enum class Zero { kStored, kNotStored };  // whether a string's terminating zero is stored

struct Value {
    ValueType type = ValueType::kString;
    std::string bytes;        // a string's stored bytes, the terminating zero included if stored
    std::uint32_t dword = 0;  // a dword's value
};

struct NamedValue {
    std::string name;
    Value value;
};

struct Location {
    std::filesystem::path file;
    uid_t uid = 0;  // the store's user: owner of the files a write creates
    gid_t gid = 0;
};

Location CurrentUserStore();
Location MachineStore();
Location UserStore(const paths::User& user);
// A user's store by profile id ("uid-1000"); kNotFound for an id without an account.
Result<Location> ProfileStore(std::string_view profileId);
// Any file; created files belong to the process's own user.
Location FileStore(const std::filesystem::path& file);

// The Users root: the first component of `key` is a profile id; gives that user's store and the
// rest of the path.
struct Place {
    Location store;
    std::string key;
};
Result<Place> ResolveUsersPath(std::string_view key);

inline constexpr int kDefaultBusyMs = 5000;

// The operations of one transaction; only inside Store::Read / Store::Write.
class Txn {
  public:
    // Create-or-open of `sub` below `base`, which must exist; true when a key was created.
    Result<bool> CreateKey(std::string_view base, std::string_view sub);
    Result<bool> CreateKey(std::string_view path) { return CreateKey({}, path); }
    Error OpenKey(std::string_view path);    // kNotFound when absent
    Error DeleteKey(std::string_view path);  // with all its subkeys

    // The key must exist.
    Error SetString(std::string_view key, std::string_view name, std::string_view bytes, Zero zero);
    Error SetDword(std::string_view key, std::string_view name, std::uint32_t value);
    Result<Value> GetValue(std::string_view key, std::string_view name);
    Result<std::string> GetString(std::string_view key, std::string_view name);
    Result<std::uint32_t> GetDword(std::string_view key, std::string_view name);
    Error DeleteValue(std::string_view key, std::string_view name);

    // Subkeys sorted by name without regard to case; values in creation order.
    Result<std::string> SubkeyAt(std::string_view key, std::size_t index);
    Result<NamedValue> ValueAt(std::string_view key, std::size_t index);
    Result<std::vector<std::string>> Subkeys(std::string_view key);
    Result<std::vector<NamedValue>> Values(std::string_view key);

  private:
    friend class Store;
    Txn(sqlite3* db, const std::filesystem::path& file, bool writable)
        : m_db(db), m_file(file), m_writable(writable) {}
    Result<std::int64_t> FindKey(std::string_view path);
    Error Writable();
    Error Fail(int rc);

    sqlite3* m_db;
    const std::filesystem::path& m_file;
    bool m_writable;
};

class Store {
  public:
    explicit Store(Location location, int busyTimeoutMs = kDefaultBusyMs);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const Location& location() const { return m_location; }

    // One transaction: committed when `body` returns ok, rolled back otherwise (its error is
    // returned). A read of an absent store gives kNotFound without calling `body`.
    Error Read(const std::function<Error(Txn&)>& body);
    Error Write(const std::function<Error(Txn&)>& body);

    // Single operations, each its own transaction.
    Result<bool> CreateKey(std::string_view path);
    Error OpenKey(std::string_view path);
    Error DeleteKey(std::string_view path);
    Error SetString(std::string_view key, std::string_view name, std::string_view bytes, Zero zero);
    Error SetDword(std::string_view key, std::string_view name, std::uint32_t value);
    Result<Value> GetValue(std::string_view key, std::string_view name);
    Error DeleteValue(std::string_view key, std::string_view name);

  private:
    paths::User Owner() const;
    // Opens the database; Connect then checks or makes its schema.
    Error Open(bool forWrite);
    Error Connect(bool forWrite);
    Error Run(bool forWrite, const std::function<Error(Txn&)>& body);

    Location m_location;
    int m_busyMs;
    fd::UniqueFd m_folder;  // the database is named through it; outlives m_db
    sqlite3* m_db = nullptr;
    bool m_ready = false;  // schema present
};

// Copies the values and subkeys of `fromKey` into `toKey` (created when absent), replacing
// values of the same name; between any two stores. A copy into the source tree is refused.
Error CopyTree(Store& from, std::string_view fromKey, Store& to, std::string_view toKey);

}  // namespace platform::registry
