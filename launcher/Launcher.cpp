// The head of a self-contained wizard. It needs nothing but the C library and the C++
// runtime (and glibc 2.34, so that older systems up to 2.36 hear why not): it finds the
// bundle of libraries the file carries behind it, unpacks it once into the user's cache
// (a folder named by the bundle's hash, made whole before anyone uses it), and hands
// over to the real wizard in that folder, started by the system's own loader with the
// cached libraries first. The real wizard is told which file it really is, so that it
// reads its payload, its version and its name from the file the user started.
//
// Formats: docs/resource-block.md (the block and the bundle entry).
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <ftw.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The wizard's own exit code for "refused": nothing was started.
constexpr int ExitRefused = 7;
// The oldest C library the bundled libraries were built for (Debian 12).
constexpr int BaselineMajor = 2, BaselineMinor = 36;

constexpr uint64_t TrailerSize = 40;
constexpr uint32_t FormatVersion = 1;
constexpr uint32_t BundleType = 256;
constexpr uint64_t MaxIndexSize = 16u << 20;
constexpr char BlockMagic[8] = {'D', 'R', 'M', 'X', 'R', 'E', 'S', '1'};
constexpr char BundleMagic[8] = {'D', 'R', 'M', 'X', 'B', 'N', 'D', '1'};
constexpr uint64_t BundleHeaderSize = 48;
constexpr uint64_t FileHeaderSize = 24;
// The file in a cached folder that is handed the control.
constexpr const char *RealWizard = "dremlix-update";

const char *Program = "dremlix-update";

[[noreturn]] void Refuse(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", Program, text.c_str());
    std::exit(ExitRefused);
}

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

uint32_t Get32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t Get64(const unsigned char *p)
{
    return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32;
}

bool ReadAt(int fd, void *to, size_t size, uint64_t offset)
{
    auto *p = static_cast<char *>(to);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool WriteAll(int fd, const unsigned char *p, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

struct Place {
    uint64_t Offset = 0;
    uint64_t Size = 0;
};

// The bundle entry of the own file, after the checks the wizard itself makes on its block.
Place FindBundle(int fd, const std::string &self)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        Refuse("cannot read " + self + ": " + ErrnoText(errno));
    const auto fileSize = uint64_t(st.st_size);
    unsigned char trailer[TrailerSize];
    if (fileSize < TrailerSize || !ReadAt(fd, trailer, TrailerSize, fileSize - TrailerSize)
        || std::memcmp(trailer + 32, BlockMagic, sizeof BlockMagic) != 0)
        Refuse(self + " carries no libraries: it is not a whole self-contained wizard");
    const auto damaged = [&self](const char *why) { Refuse(self + " is damaged (" + why + "); get the wizard again"); };
    if (crc32(0, trailer, 28) != Get32(trailer + 28) || Get32(trailer + 24) != FormatVersion)
        damaged("the trailer fails its check");
    const uint64_t blockOffset = Get64(trailer);
    const uint64_t indexOffset = Get64(trailer + 8);
    const uint64_t indexSize = Get32(trailer + 16);
    const uint64_t indexEnd = fileSize - TrailerSize;
    if (indexSize < 4 || indexSize > MaxIndexSize || indexOffset > indexEnd || indexOffset + indexSize != indexEnd
        || blockOffset > indexOffset)
        damaged("the index lies outside the file");
    std::vector<unsigned char> index(indexSize);
    if (!ReadAt(fd, index.data(), indexSize, indexOffset))
        Refuse("cannot read " + self + ": " + ErrnoText(errno ? errno : EIO));
    if (crc32(0, index.data(), uInt(indexSize)) != Get32(trailer + 20))
        damaged("the index fails its check");
    const uint64_t count = Get32(index.data());
    uint64_t pos = 4;
    for (uint64_t i = 0; i < count; ++i) {
        if (indexSize - pos < 28)
            damaged("the index ends inside an entry");
        const unsigned char *e = index.data() + pos;
        const uint64_t nameBytes = Get32(e + 24);
        pos += 28;
        if (nameBytes == 0 || nameBytes % 2 != 0 || nameBytes > indexSize - pos)
            damaged("an entry has a bad name");
        std::string name;
        for (uint64_t k = 0; k < nameBytes; k += 2)
            name += char(index[pos + k + 1] == 0 ? index[pos + k] : '?');
        pos += (nameBytes + 3) & ~uint64_t(3);
        const Place place{Get64(e + 8), Get64(e + 16)};
        if (place.Offset < blockOffset || place.Offset > indexOffset || place.Size > indexOffset - place.Offset)
            damaged("an entry lies outside the block");
        if (Get32(e) == BundleType && name == "BUNDLE")
            return place;
    }
    Refuse(self + " carries no libraries: it is not a self-contained wizard");
}

std::string Hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string CacheBase()
{
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd *pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || home[0] != '/')
        Refuse("cannot tell where the user's cache is: neither XDG_CACHE_HOME nor HOME is set");
    return std::string(home) + "/.cache";
}

std::string BootId()
{
    char id[64] = {};
    const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    const ssize_t n = ::read(fd, id, sizeof id - 1);
    ::close(fd);
    std::string text(id, n > 0 ? size_t(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Marks of a cached folder: ".synced" once every byte of it is on the disk; ".boot", the
// boot it was written in. Until it is synced, the folder is whole as long as the system
// has not been restarted (a killed process loses nothing that it wrote; a power cut may).
constexpr const char *SyncedMark = ".synced";
constexpr const char *BootMark = ".boot";

// A cached folder only gets its name when every file in it has been written: it is
// whole once it holds the real wizard, unless the system went down before it reached
// the disk.
bool Usable(const std::string &dir)
{
    struct stat st {};
    const std::string exe = dir + "/" + RealWizard;
    if (::stat(exe.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(exe.c_str(), X_OK) != 0)
        return false;
    if (::stat((dir + "/" + SyncedMark).c_str(), &st) == 0)
        return true;
    char written[64] = {};
    const int fd = ::open((dir + "/" + BootMark).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = ::read(fd, written, sizeof written - 1);
    ::close(fd);
    const std::string boot = BootId();
    return n > 0 && !boot.empty() && std::string(written, size_t(n)) == boot;
}

int RemoveOne(const char *path, const struct stat *, int flag, FTW *)
{
    if (flag == FTW_DP)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0;
}

void RemoveTree(const std::string &path)
{
    ::nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

// Makes the folder and the missing folders above it, private to the user.
bool MakePath(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakePath(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool SyncPath(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Unpacking folders left by a launcher that was killed: removed by whoever finds nobody
// unpacking. Every launcher that unpacks holds the lock shared for as long as its
// ".tmp-" folder exists, so that taking it exclusively means that every ".tmp-" and
// ".old-" folder belongs to nobody. Costs one look at the folder when there are none.
void CleanLeftovers(const std::string &root)
{
    DIR *d = ::opendir(root.c_str());
    if (!d)
        return;
    std::vector<std::string> leftovers;
    while (const dirent *e = ::readdir(d)) {
        if (std::strncmp(e->d_name, ".tmp-", 5) == 0 || std::strncmp(e->d_name, ".old-", 5) == 0)
            leftovers.push_back(root + "/" + e->d_name);
    }
    ::closedir(d);
    if (leftovers.empty())
        return;
    const std::string lockPath = root + "/.lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    if (lockFd < 0)
        return;
    if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
        for (const std::string &path : leftovers)
            RemoveTree(path);
    }
    ::close(lockFd);
}

struct Unpacker {
    const unsigned char *Data = nullptr;
    uint64_t Size = 0;
    std::string Self;
    std::vector<std::string> Folders;
    std::vector<int> Open;

    ~Unpacker()
    {
        for (const int fd : Open)
            ::close(fd);
    }

    std::string Temp; // the folder being filled, removed when the bundle turns out damaged

    [[noreturn]] void Damaged() const
    {
        if (!Temp.empty())
            RemoveTree(Temp);
        Refuse(Self + " is damaged (its libraries fail their check); get the wizard again");
    }

    // A relative path of plain names: nothing may land outside the folder.
    static bool SafePath(const std::string &path)
    {
        if (path.empty() || path[0] == '/')
            return false;
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('/', start);
            if (end == std::string::npos)
                end = path.size();
            const std::string part = path.substr(start, end - start);
            if (part.empty() || part == "." || part == "..")
                return false;
            start = end + 1;
        }
        return true;
    }

    bool Inflate(int fd, const unsigned char *stream, uint64_t storedSize, uint64_t size) const
    {
        z_stream z{};
        if (inflateInit(&z) != Z_OK)
            return false;
        std::vector<unsigned char> out(1 << 20);
        uint64_t written = 0;
        uint64_t left = storedSize;
        int rc = Z_OK;
        z.next_in = const_cast<unsigned char *>(stream);
        while (rc != Z_STREAM_END) {
            if (z.avail_in == 0) {
                if (left == 0)
                    break;
                const auto piece = uInt(left < (1u << 30) ? left : (1u << 30));
                z.avail_in = piece;
                left -= piece;
            }
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END)
                break;
            const size_t produced = out.size() - z.avail_out;
            if (written + produced > size || !WriteAll(fd, out.data(), produced))
                break;
            written += produced;
        }
        inflateEnd(&z);
        return rc == Z_STREAM_END && written == size && left == 0 && z.avail_in == 0;
    }

    // Writes every file of the bundle into the folder; false on a write error (errno set).
    bool Into(const std::string &dir)
    {
        const uint32_t count = Get32(Data + 40);
        uint64_t pos = BundleHeaderSize;
        for (uint32_t i = 0; i < count; ++i) {
            if (Size - pos < FileHeaderSize)
                Damaged();
            const unsigned char *h = Data + pos;
            const uint32_t pathSize = Get32(h);
            const uint32_t mode = Get32(h + 4) & 0777;
            const uint64_t size = Get64(h + 8);
            const uint64_t stored = Get64(h + 16);
            pos += FileHeaderSize;
            if (pathSize > Size - pos || stored > Size - pos - pathSize)
                Damaged();
            const std::string path(reinterpret_cast<const char *>(Data + pos), pathSize);
            pos += pathSize;
            if (!SafePath(path))
                Damaged();
            std::string target = dir;
            target += '/';
            target += path;
            for (size_t slash = target.find('/', dir.size() + 1); slash != std::string::npos;
                 slash = target.find('/', slash + 1)) {
                const std::string folder = target.substr(0, slash);
                if (::mkdir(folder.c_str(), 0700) == 0)
                    Folders.push_back(folder);
                else if (errno != EEXIST)
                    return false;
            }
            const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode | 0600);
            if (fd < 0)
                return false;
            errno = 0;
            if (!Inflate(fd, Data + pos, stored, size)) {
                const int error = errno;
                ::close(fd);
                if (error == 0)
                    Damaged();
                errno = error;
                return false;
            }
            // Kept open for the sync, which comes once all are written.
            Open.push_back(fd);
            pos += stored;
        }
        if (pos != Size)
            Damaged();
        return true;
    }

    // Everything written, on the disk: the files, then the folders below dir.
    bool Sync(const std::string &from, const std::string &to) const
    {
        for (const int fd : Open)
            if (::fsync(fd) != 0)
                return false;
        for (const std::string &folder : Folders)
            if (!SyncPath(to + folder.substr(from.size())))
                return false;
        return SyncPath(to);
    }
};

[[noreturn]] void CannotWrite(const std::string &where, int error)
{
    Refuse("cannot unpack its libraries into " + where + ": " + ErrnoText(error)
           + ". The wizard needs a cache folder it can write: set XDG_CACHE_HOME to one");
}

// Unpacks the bundle as <root>/<hash>: into a private sibling first, renamed into place
// when whole. Another launcher may win the rename; its folder is then as good as ours.
void Unpack(int fd, const Place &bundle, const std::string &root, const std::string &dir, const std::string &self)
{
    if (!MakePath(root))
        CannotWrite(root, errno);
    const std::string lockPath = root + "/.lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0)
        CannotWrite(root, errno);
    while (::flock(lockFd, LOCK_SH) != 0 && errno == EINTR) {
    }
    if (Usable(dir)) {
        ::close(lockFd);
        return;
    }
    // A folder that lost its wizard (cleaned by hand, half removed) is moved aside whole.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0) {
        const std::string aside = root + "/.old-" + std::to_string(::getpid()) + "-" + dir.substr(root.size() + 1);
        if (::rename(dir.c_str(), aside.c_str()) != 0 && errno != ENOENT)
            CannotWrite(dir, errno);
    }

    std::string temp = dir + "XXXXXX";
    temp.insert(root.size() + 1, ".tmp-");
    if (!::mkdtemp(temp.data()))
        CannotWrite(root, errno);

    const long page = ::sysconf(_SC_PAGESIZE);
    const uint64_t start = bundle.Offset / uint64_t(page) * uint64_t(page);
    const uint64_t lead = bundle.Offset - start;
    void *map = ::mmap(nullptr, size_t(lead + bundle.Size), PROT_READ, MAP_PRIVATE, fd, off_t(start));
    if (map == MAP_FAILED)
        Refuse("cannot read " + self + ": " + ErrnoText(errno));
    Unpacker unpacker;
    unpacker.Data = static_cast<const unsigned char *>(map) + lead;
    unpacker.Size = bundle.Size;
    unpacker.Self = self;
    unpacker.Temp = temp;
    const std::string boot = BootId();
    bool written = unpacker.Into(temp);
    if (written && !boot.empty()) {
        const std::string mark = temp + "/" + BootMark;
        const int markFd = ::open(mark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        written = markFd >= 0 && WriteAll(markFd, reinterpret_cast<const unsigned char *>(boot.data()), boot.size());
        if (markFd >= 0)
            ::close(markFd);
    }
    // Without a boot to tell a restart by, the folder must be on the disk before its name.
    if (written && boot.empty())
        written = unpacker.Sync(temp, temp);
    if (!written) {
        const int error = errno;
        RemoveTree(temp);
        CannotWrite(root, error);
    }
    ::munmap(map, size_t(lead + bundle.Size));

    if (::rename(temp.c_str(), dir.c_str()) != 0) {
        const int error = errno;
        RemoveTree(temp);
        if ((error != EEXIST && error != ENOTEMPTY) || !Usable(dir))
            CannotWrite(dir, error);
        ::close(lockFd);
        return;
    }
    // The wizard need not wait for the disk: a process of its own syncs the folder and
    // marks it synced. It keeps the lock shared until then, so nobody cleans around it.
    if (!boot.empty()) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            ::setsid();
            if (unpacker.Sync(temp, dir) && SyncPath(root)) {
                const std::string mark = dir + "/" + SyncedMark;
                const int markFd = ::open(mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                if (markFd >= 0 && ::fsync(markFd) == 0)
                    SyncPath(dir);
            }
            ::_exit(0);
        }
        if (pid < 0 && unpacker.Sync(temp, dir)) {
            const std::string mark = dir + "/" + SyncedMark;
            ::close(::open(mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        }
    }
    SyncPath(root);
    ::close(lockFd);
}

// The loader that started this launcher: the real wizard goes through the same one, so
// that the C library is always the system's own.
std::string SystemLoader()
{
    std::string interp;
    ::dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_INTERP) {
                    // The loader gives the program's load address as a number.
                    *static_cast<std::string *>(data) = reinterpret_cast<const char *>( // NOLINT(performance-no-int-to-ptr)
                        info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                    return 1;
                }
            return 1; // the first object is the program itself
        },
        &interp);
    return interp.empty() ? std::string("/lib64/ld-linux-x86-64.so.2") : interp;
}

void CheckLibraryBaseline()
{
    int major = 0, minor = 0;
    if (std::sscanf(::gnu_get_libc_version(), "%d.%d", &major, &minor) == 2
        && (major > BaselineMajor || (major == BaselineMajor && minor >= BaselineMinor)))
        return;
    Refuse(std::string("needs the GNU C library ") + std::to_string(BaselineMajor) + "." + std::to_string(BaselineMinor)
           + " or later (Debian 12 or later); this system has " + ::gnu_get_libc_version());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 0 && argv[0] && *argv[0]) {
        const char *slash = std::strrchr(argv[0], '/');
        Program = slash ? slash + 1 : argv[0];
    }
    CheckLibraryBaseline();

    char selfBuffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", selfBuffer, sizeof selfBuffer - 1);
    if (length <= 0)
        Refuse("cannot find its own file: " + ErrnoText(errno));
    const std::string self(selfBuffer, size_t(length));
    const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Refuse("cannot read " + self + ": " + ErrnoText(errno));

    const Place bundle = FindBundle(fd, self);
    unsigned char header[BundleHeaderSize];
    if (bundle.Size < BundleHeaderSize || !ReadAt(fd, header, BundleHeaderSize, bundle.Offset)
        || std::memcmp(header, BundleMagic, sizeof BundleMagic) != 0)
        Refuse(self + " is damaged (its libraries fail their check); get the wizard again");
    const std::string root = CacheBase() + "/dremlix-update";
    const std::string dir = root + "/" + Hex(header + 8, 16);

    CleanLeftovers(root);
    if (!Usable(dir))
        Unpack(fd, bundle, root, dir, self);
    ::close(fd);

    const std::string loader = SystemLoader();
    const std::string exe = dir + "/" + RealWizard;
    const std::string libraries = dir + "/lib";
    ::setenv("DREMLIX_WIZARD_FILE", self.c_str(), 1);
    ::setenv("QT_PLUGIN_PATH", (dir + "/plugins").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM_PLUGIN_PATH", (dir + "/plugins/platforms").c_str(), 1);
    const std::string messages = dir + "/firebird";
    struct stat st {};
    if (!std::getenv("FIREBIRD_MSG") && ::stat(messages.c_str(), &st) == 0)
        ::setenv("FIREBIRD_MSG", messages.c_str(), 1);

    std::vector<char *> args;
    args.push_back(const_cast<char *>(loader.c_str()));
    args.push_back(const_cast<char *>("--argv0"));
    args.push_back(argv[0] ? argv[0] : const_cast<char *>(Program));
    args.push_back(const_cast<char *>("--library-path"));
    args.push_back(const_cast<char *>(libraries.c_str()));
    args.push_back(const_cast<char *>(exe.c_str()));
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(loader.c_str(), args.data());
    Refuse("cannot start " + exe + " with " + loader + ": " + ErrnoText(errno));
}
