#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/paths/Owned.h"

namespace platform::registry {
namespace {

constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;
constexpr std::int64_t kRootId = 1;
constexpr int kSchemaVersion = 1;

// Every store starts with the key a Windows user hive always has, so that writers which create
// their keys "inside an existing Software" work on a fresh store too.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY,"
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data, UNIQUE(key, name));"
    "INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, NULL, '');"
    "INSERT OR IGNORE INTO keys(parent, name) VALUES(1, 'Software');"
    "PRAGMA user_version = 1;";

// SQLite turns a database's name into a plain path, resolving every link in it, and derives the
// names of the -wal and -shm files from that path when it first needs them. This VFS keeps the
// name as given, so a store named /proc/self/fd/<folder>/<file> stays in that folder.
int KeepName(sqlite3_vfs*, const char* name, int size, char* out) {
    const std::size_t length = std::strlen(name);
    if (name[0] != '/' || length >= static_cast<std::size_t>(size)) {
        return SQLITE_CANTOPEN;
    }
    std::memcpy(out, name, length + 1);
    return SQLITE_OK;
}

const char* FolderVfs() {
    static const char* const name = [] {
        static sqlite3_vfs vfs = *sqlite3_vfs_find(nullptr);
        vfs.zName = "zr40-folder";
        vfs.xFullPathname = KeepName;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? vfs.zName : nullptr;
    }();
    return name;
}

class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    int rc() const { return m_rc; }
    Stmt& Int(int i, std::int64_t v) {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Stmt& Text(int i, std::string_view s) {
        sqlite3_bind_text(m_stmt, i, s.data() != nullptr ? s.data() : "",
                          static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Blob(int i, std::string_view s) {
        sqlite3_bind_blob(m_stmt, i, s.data() != nullptr ? s.data() : "",
                          static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or the failure.
    int Step() { return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc; }
    std::int64_t ColInt(int i) const { return sqlite3_column_int64(m_stmt, i); }
    std::string ColBytes(int i) const {
        const void* p = sqlite3_column_blob(m_stmt, i);
        const int n = sqlite3_column_bytes(m_stmt, i);
        return p != nullptr ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n))
                            : std::string();
    }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
};

Error Bad(std::string text) {
    return Error{Kind::kBadArgument, std::move(text)};
}

Error NotFound(std::string text) {
    return Error{Kind::kNotFound, std::move(text)};
}

Error StoreError(sqlite3* db, const std::filesystem::path& file, int rc) {
    const std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return Error{Kind::kBusy, "store " + file.string() + " stayed busy: " + detail};
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT:
            return Error{Kind::kDamaged, "store " + file.string() +
                                             " is not a state store or is damaged: " + detail};
        default:
            return Error{Kind::kIo, "store " + file.string() + ": " + detail};
    }
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Empty path: the store's root. An empty component ("a\\\\b", a leading or trailing backslash)
// is malformed, as it is for the Windows registry.
Result<std::vector<std::string_view>> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const auto sep = path.find('\\');
        const auto part = path.substr(0, sep);
        if (part.empty() || part.size() > kMaxKeyName ||
            part.find('\0') != std::string_view::npos) {
            return Bad("malformed key path");
        }
        parts.push_back(part);
        if (sep == std::string_view::npos) {
            break;
        }
        path.remove_prefix(sep + 1);
        if (path.empty()) {
            return Bad("malformed key path");
        }
    }
    return parts;
}

Error CheckValueName(std::string_view name) {
    if (name.size() > kMaxValueName || name.find('\0') != std::string_view::npos) {
        return Bad("malformed value name");
    }
    return {};
}

Value ValueFromRow(const Stmt& st, int typeCol, int dataCol) {
    Value v;
    if (st.ColInt(typeCol) == static_cast<int>(ValueType::kDword)) {
        v.type = ValueType::kDword;
        v.dword = static_cast<std::uint32_t>(st.ColInt(dataCol));
    } else {
        v.type = ValueType::kString;
        v.bytes = st.ColBytes(dataCol);
    }
    return v;
}

struct Tree {
    std::vector<NamedValue> values;
    std::vector<std::string> names;  // of the subkeys, beside them
    std::vector<Tree> subkeys;
};

Error LoadTree(Txn& txn, const std::string& key, Tree& tree) {
    auto values = txn.Values(key);
    if (!values.ok()) {
        return values.error();
    }
    tree.values = std::move(values.value());
    auto subkeys = txn.Subkeys(key);
    if (!subkeys.ok()) {
        return subkeys.error();
    }
    tree.names = std::move(subkeys.value());
    tree.subkeys.resize(tree.names.size());
    for (std::size_t i = 0; i < tree.names.size(); ++i) {
        const std::string& name = tree.names[i];
        if (Error e = LoadTree(txn, key.empty() ? name : key + "\\" + name, tree.subkeys[i]);
            !e.ok()) {
            return e;
        }
    }
    return {};
}

Error StoreTree(Txn& txn, const std::string& key, const Tree& tree) {
    if (auto created = txn.CreateKey(key); !created.ok()) {
        return created.error();
    }
    for (const auto& [name, value] : tree.values) {
        Error e = value.type == ValueType::kDword
                      ? txn.SetDword(key, name, value.dword)
                      : txn.SetString(key, name, value.bytes, Zero::kNotStored);
        if (!e.ok()) {
            return e;
        }
    }
    for (std::size_t i = 0; i < tree.names.size(); ++i) {
        const std::string& name = tree.names[i];
        if (Error e = StoreTree(txn, key.empty() ? name : key + "\\" + name, tree.subkeys[i]);
            !e.ok()) {
            return e;
        }
    }
    return {};
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) {
        return true;
    }
    return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
}

// Whether `inner` is `outer` or lies below it.
bool Within(std::string_view inner, std::string_view outer) {
    if (outer.empty()) {
        return true;
    }
    return inner.size() >= outer.size() && EqualNoCase(inner.substr(0, outer.size()), outer) &&
           (inner.size() == outer.size() || inner[outer.size()] == '\\');
}

}  // namespace

Location UserStore(const paths::User& user) {
    return Location{paths::UserStoreFile(user), user.uid, user.gid};
}

Location CurrentUserStore() {
    return UserStore(paths::CurrentUser());
}

Location MachineStore() {
    return Location{paths::MachineStoreFile(), 0, 0};
}

Result<Location> ProfileStore(std::string_view profileId) {
    const auto uid = paths::ProfileUid(std::string(profileId));
    const auto user = uid ? paths::LookupUser(*uid) : std::nullopt;
    if (!user) {
        return NotFound("no user profile " + std::string(profileId));
    }
    return UserStore(*user);
}

Location FileStore(const std::filesystem::path& file) {
    return Location{file, geteuid(), getegid()};
}

Result<Place> ResolveUsersPath(std::string_view key) {
    const auto sep = key.find('\\');
    auto store = ProfileStore(key.substr(0, sep));
    if (!store.ok()) {
        return store.error();
    }
    return Place{store.value(),
                 std::string(sep == std::string_view::npos ? "" : key.substr(sep + 1))};
}

// --- Txn ---

Error Txn::Fail(int rc) {
    return StoreError(m_db, m_file, rc);
}

Error Txn::Writable() {
    return m_writable ? Error{} : Bad("a write inside a read transaction");
}

Result<std::int64_t> Txn::FindKey(std::string_view path) {
    auto parts = SplitPath(path);
    if (!parts.ok()) {
        return parts.error();
    }
    std::int64_t id = kRootId;
    for (auto part : parts.value()) {
        Stmt st(m_db, "SELECT id FROM keys WHERE parent = ? AND name = ?");
        st.Int(1, id).Text(2, part);
        const int rc = st.Step();
        if (rc == SQLITE_DONE) {
            return NotFound("no key " + std::string(path));
        }
        if (rc != SQLITE_ROW) {
            return Fail(rc);
        }
        id = st.ColInt(0);
    }
    return id;
}

Result<bool> Txn::CreateKey(std::string_view base, std::string_view sub) {
    if (Error e = Writable(); !e.ok()) {
        return e;
    }
    auto id = FindKey(base);
    if (!id.ok()) {
        return id.error();
    }
    auto parts = SplitPath(sub);
    if (!parts.ok()) {
        return parts.error();
    }
    std::int64_t parent = id.value();
    bool created = false;
    for (auto part : parts.value()) {
        Stmt find(m_db, "SELECT id FROM keys WHERE parent = ? AND name = ?");
        find.Int(1, parent).Text(2, part);
        int rc = find.Step();
        if (rc == SQLITE_ROW) {
            parent = find.ColInt(0);
            continue;
        }
        if (rc != SQLITE_DONE) {
            return Fail(rc);
        }
        Stmt insert(m_db, "INSERT INTO keys(parent, name) VALUES(?, ?)");
        insert.Int(1, parent).Text(2, part);
        if (rc = insert.Step(); rc != SQLITE_DONE) {
            return Fail(rc);
        }
        parent = sqlite3_last_insert_rowid(m_db);
        created = true;
    }
    return created;
}

Error Txn::OpenKey(std::string_view path) {
    auto id = FindKey(path);
    return id.ok() ? Error{} : id.error();
}

Error Txn::DeleteKey(std::string_view path) {
    if (Error e = Writable(); !e.ok()) {
        return e;
    }
    if (path.empty()) {
        return Bad("the root key cannot be deleted");
    }
    auto id = FindKey(path);
    if (!id.ok()) {
        return id.error();
    }
    Stmt st(m_db, "DELETE FROM keys WHERE id = ?");
    st.Int(1, id.value());
    const int rc = st.Step();
    return rc == SQLITE_DONE ? Error{} : Fail(rc);
}

Error Txn::SetString(std::string_view key, std::string_view name, std::string_view bytes,
                     Zero zero) {
    if (Error e = Writable(); !e.ok()) {
        return e;
    }
    if (Error e = CheckValueName(name); !e.ok()) {
        return e;
    }
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    std::string data(bytes);
    if (zero == Zero::kStored) {
        data.push_back('\0');
    }
    Stmt st(m_db,
            "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) ON CONFLICT(key, name)"
            " DO UPDATE SET type = excluded.type, data = excluded.data");
    st.Int(1, id.value()).Text(2, name).Int(3, static_cast<int>(ValueType::kString)).Blob(4, data);
    const int rc = st.Step();
    return rc == SQLITE_DONE ? Error{} : Fail(rc);
}

Error Txn::SetDword(std::string_view key, std::string_view name, std::uint32_t value) {
    if (Error e = Writable(); !e.ok()) {
        return e;
    }
    if (Error e = CheckValueName(name); !e.ok()) {
        return e;
    }
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    Stmt st(m_db,
            "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) ON CONFLICT(key, name)"
            " DO UPDATE SET type = excluded.type, data = excluded.data");
    st.Int(1, id.value()).Text(2, name).Int(3, static_cast<int>(ValueType::kDword)).Int(4, value);
    const int rc = st.Step();
    return rc == SQLITE_DONE ? Error{} : Fail(rc);
}

Result<Value> Txn::GetValue(std::string_view key, std::string_view name) {
    if (Error e = CheckValueName(name); !e.ok()) {
        return e;
    }
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    Stmt st(m_db, "SELECT type, data FROM vals WHERE key = ? AND name = ?");
    st.Int(1, id.value()).Text(2, name);
    const int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return NotFound("no value " + std::string(name) + " in " + std::string(key));
    }
    if (rc != SQLITE_ROW) {
        return Fail(rc);
    }
    return ValueFromRow(st, 0, 1);
}

Result<std::string> Txn::GetString(std::string_view key, std::string_view name) {
    auto value = GetValue(key, name);
    if (!value.ok()) {
        return value.error();
    }
    if (value.value().type != ValueType::kString) {
        return Error{Kind::kTypeMismatch, std::string(name) + " is not a string"};
    }
    return std::move(value.value().bytes);
}

Result<std::uint32_t> Txn::GetDword(std::string_view key, std::string_view name) {
    auto value = GetValue(key, name);
    if (!value.ok()) {
        return value.error();
    }
    if (value.value().type != ValueType::kDword) {
        return Error{Kind::kTypeMismatch, std::string(name) + " is not a dword"};
    }
    return value.value().dword;
}

Error Txn::DeleteValue(std::string_view key, std::string_view name) {
    if (Error e = Writable(); !e.ok()) {
        return e;
    }
    if (Error e = CheckValueName(name); !e.ok()) {
        return e;
    }
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    Stmt st(m_db, "DELETE FROM vals WHERE key = ? AND name = ?");
    st.Int(1, id.value()).Text(2, name);
    const int rc = st.Step();
    if (rc != SQLITE_DONE) {
        return Fail(rc);
    }
    return sqlite3_changes(m_db) > 0 ? Error{} : NotFound("no value " + std::string(name));
}

Result<std::string> Txn::SubkeyAt(std::string_view key, std::size_t index) {
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    // upper(), not NOCASE: the Windows registry folds to upper case, which puts '_' after letters.
    Stmt st(m_db,
            "SELECT name FROM keys WHERE parent = ? ORDER BY upper(name), name LIMIT 1 OFFSET ?");
    st.Int(1, id.value()).Int(2, static_cast<std::int64_t>(index));
    const int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return NotFound("no more subkeys");
    }
    return rc == SQLITE_ROW ? Result<std::string>(st.ColBytes(0)) : Fail(rc);
}

Result<NamedValue> Txn::ValueAt(std::string_view key, std::size_t index) {
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    Stmt st(m_db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY id LIMIT 1 OFFSET ?");
    st.Int(1, id.value()).Int(2, static_cast<std::int64_t>(index));
    const int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return NotFound("no more values");
    }
    if (rc != SQLITE_ROW) {
        return Fail(rc);
    }
    return NamedValue{st.ColBytes(0), ValueFromRow(st, 1, 2)};
}

Result<std::vector<std::string>> Txn::Subkeys(std::string_view key) {
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    Stmt st(m_db, "SELECT name FROM keys WHERE parent = ? ORDER BY upper(name), name");
    st.Int(1, id.value());
    std::vector<std::string> names;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        names.push_back(st.ColBytes(0));
    }
    return rc == SQLITE_DONE ? Result<std::vector<std::string>>(std::move(names)) : Fail(rc);
}

Result<std::vector<NamedValue>> Txn::Values(std::string_view key) {
    auto id = FindKey(key);
    if (!id.ok()) {
        return id.error();
    }
    Stmt st(m_db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY id");
    st.Int(1, id.value());
    std::vector<NamedValue> values;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        values.push_back(NamedValue{st.ColBytes(0), ValueFromRow(st, 1, 2)});
    }
    return rc == SQLITE_DONE ? Result<std::vector<NamedValue>>(std::move(values)) : Fail(rc);
}

// --- Store ---

Store::Store(Location location, int busyTimeoutMs)
    : m_location(std::move(location)), m_busyMs(busyTimeoutMs) {}

Store::~Store() {
    // The last connection's checkpoint and removal of the -wal file are the user's work too.
    const paths::ActingAs as(Owner());
    sqlite3_close_v2(m_db);
}

Error Store::Open(bool forWrite) {
    const auto& file = m_location.file;
    const paths::User owner = Owner();
    paths::Opened folder =
        paths::OpenOwnedDir(file.parent_path(), owner, 0700,
                            forWrite ? paths::Missing::kCreate : paths::Missing::kFail);
    if (!folder.ok()) {
        if (folder.error == ENOENT && !forWrite) {
            return NotFound("no store at " + file.string());
        }
        return Error{Kind::kIo, "cannot open the folder of store " + file.string() + ": " +
                                    std::strerror(folder.error)};
    }
    const std::string name = file.filename().string();
    // Made here rather than by SQLite, which would leave it 0644; SQLite gives its -wal and
    // -shm files the database's mode and owner.
    paths::Opened checked = paths::OpenOwnedFile(folder.fd.Get(), name.c_str(),
                                                 O_RDWR | (forWrite ? O_CREAT : 0), 0600, owner);
    if (!checked.ok()) {
        switch (checked.error) {
            case ENOENT:
                return NotFound("no store at " + file.string());
            case ELOOP:
            case EINVAL:
                return Error{Kind::kDamaged, "store " + file.string() + " is not a regular file"};
            default:
                return Error{Kind::kIo,
                             "store " + file.string() + ": " + std::strerror(checked.error)};
        }
    }
    checked.fd.Reset();
    // Named through the folder's descriptor, so that the database and the -wal and -shm
    // files SQLite makes beside it later all lie in the folder just checked, whatever is
    // renamed or linked on the way to it meanwhile. Every call into SQLite runs as the store's
    // user (Run), so a file the user swaps in after the check (a hard link to a root file)
    // is opened with the user's rights only, and what SQLite makes belongs to the user.
    const std::string named = "/proc/self/fd/" + std::to_string(folder.fd.Get()) + "/" + name;
    const paths::ActingAs as(owner);
    if (!as.ok() || FolderVfs() == nullptr) {
        return Error{Kind::kIo, "cannot open store " + file.string() + " as its user"};
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(named.c_str(), &db, SQLITE_OPEN_READWRITE, FolderVfs());
    if (rc != SQLITE_OK) {
        Error e = StoreError(db, file, rc);
        sqlite3_close_v2(db);
        return e;
    }
    m_db = db;
    m_folder = std::move(folder.fd);
    sqlite3_busy_timeout(m_db, m_busyMs);
    // The road goes on across a power cut: a committed Status or update record must be on
    // the disk, so every commit syncs the journal. Writes are a handful per update.
    sqlite3_exec(m_db, "PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL", nullptr, nullptr,
                 nullptr);
    return {};
}

Error Store::Connect(bool forWrite) {
    const auto& file = m_location.file;
    if (m_ready) {
        return {};
    }
    int version = 0;
    {
        Stmt st(m_db, "PRAGMA user_version");
        const int rc = st.Step();
        if (rc != SQLITE_ROW) {
            return StoreError(m_db, file, rc);
        }
        version = static_cast<int>(st.ColInt(0));
    }
    if (version == kSchemaVersion) {
        m_ready = true;
        return {};
    }
    if (version != 0) {
        return Error{Kind::kDamaged, "store " + file.string() + " is not a state store"};
    }
    if (!forWrite) {
        return NotFound("store " + file.string() + " is empty");
    }
    // The journal mode cannot change inside a transaction; it stays with the file. SQLite
    // keeps the old mode when it cannot make the -wal file (a link in its place).
    int rc = SQLITE_OK;
    {
        Stmt st(m_db, "PRAGMA journal_mode = WAL");
        rc = st.Step();
        if (rc == SQLITE_ROW) {
            rc = EqualNoCase(st.ColBytes(0), "wal") ? SQLITE_OK : SQLITE_CANTOPEN;
        }
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr);
        rc = rc == SQLITE_OK ? sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) : rc;
        if (rc != SQLITE_OK) {
            Error e = StoreError(m_db, file, rc);
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return e;
        }
    }
    if (rc != SQLITE_OK) {
        return StoreError(m_db, file, rc);
    }
    m_ready = true;
    return {};
}

paths::User Store::Owner() const {
    return paths::User{m_location.uid, m_location.gid, {}, {}};
}

Error Store::Run(bool forWrite, const std::function<Error(Txn&)>& body) {
    // The walk to the store's folder starts as this process; everything after it is the user's.
    if (m_db == nullptr) {
        if (Error e = Open(forWrite); !e.ok()) {
            return e;
        }
    }
    const paths::ActingAs as(Owner());
    if (!as.ok()) {
        return Error{Kind::kIo, "cannot act as the user of store " + m_location.file.string()};
    }
    if (Error e = Connect(forWrite); !e.ok()) {
        return e;
    }
    // A write starts IMMEDIATE: in WAL a read transaction that later wants to write gets
    // SQLITE_BUSY at once, without the busy handler.
    int rc = sqlite3_exec(m_db, forWrite ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        return StoreError(m_db, m_location.file, rc);
    }
    Txn txn(m_db, m_location.file, forWrite);
    Error e = body(txn);
    if (e.ok()) {
        rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            return {};
        }
        e = StoreError(m_db, m_location.file, rc);
    }
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return e;
}

Error Store::Read(const std::function<Error(Txn&)>& body) {
    return Run(false, body);
}

Error Store::Write(const std::function<Error(Txn&)>& body) {
    return Run(true, body);
}

Result<bool> Store::CreateKey(std::string_view path) {
    bool created = false;
    Error e = Write([&](Txn& t) {
        auto r = t.CreateKey(path);
        created = r.ok() && r.value();
        return r.ok() ? Error{} : r.error();
    });
    return e.ok() ? Result<bool>(created) : e;
}

Error Store::OpenKey(std::string_view path) {
    return Read([&](Txn& t) { return t.OpenKey(path); });
}

Error Store::DeleteKey(std::string_view path) {
    return Write([&](Txn& t) { return t.DeleteKey(path); });
}

Error Store::SetString(std::string_view key, std::string_view name, std::string_view bytes,
                       Zero zero) {
    return Write([&](Txn& t) { return t.SetString(key, name, bytes, zero); });
}

Error Store::SetDword(std::string_view key, std::string_view name, std::uint32_t value) {
    return Write([&](Txn& t) { return t.SetDword(key, name, value); });
}

Result<Value> Store::GetValue(std::string_view key, std::string_view name) {
    std::optional<Value> value;
    Error e = Read([&](Txn& t) {
        auto r = t.GetValue(key, name);
        if (!r.ok()) {
            return r.error();
        }
        value = std::move(r.value());
        return Error{};
    });
    return e.ok() ? Result<Value>(std::move(*value)) : e;
}

Error Store::DeleteValue(std::string_view key, std::string_view name) {
    return Write([&](Txn& t) { return t.DeleteValue(key, name); });
}

Error CopyTree(Store& from, std::string_view fromKey, Store& to, std::string_view toKey) {
    const std::string source(fromKey);
    const std::string target(toKey);
    if (SameFile(from.location().file, to.location().file) && Within(target, source)) {
        return Bad("cannot copy " + source + " into itself");
    }
    Tree tree;
    auto copy = [&](Txn& t) { return StoreTree(t, target, tree); };
    if (&from == &to) {
        return to.Write([&](Txn& t) {
            Error e = LoadTree(t, source, tree);
            return e.ok() ? copy(t) : e;
        });
    }
    if (Error e = from.Read([&](Txn& t) { return LoadTree(t, source, tree); }); !e.ok()) {
        return e;
    }
    return to.Write(copy);
}

}  // namespace platform::registry
