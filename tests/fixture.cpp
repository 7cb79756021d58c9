#include "tests/fixture.h"

#include "platform/host.h"
#include "platform/platform.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "cabinet/layout.h"

namespace fs = std::filesystem;

namespace fixture {

namespace {

void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Patch16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Patch32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutText(Bytes& b, const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}

}  // namespace

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 11);
    }
    return out;
}

// ---- Cabinets ---------------------------------------------------------------------

Bytes BuildCabinet(const std::vector<StoredFile>& files, const CabOptions& o, CabLayout* layoutOut) {
    CabLayout layout;
    const size_t n = files.size();
    std::vector<size_t> folderOf(n);
    size_t folderCount = 0;
    for (size_t i = 0; i < n; ++i) {
        folderOf[i] = o.filesPerFolder > 0 ? i / static_cast<size_t>(o.filesPerFolder) : 0;
        folderCount = folderOf[i] + 1;
    }

    const uint32_t headerSize = 36 + (o.reserve ? 4u + o.cbCFHeader : 0u);
    const uint32_t folderRecord = 8 + (o.reserve ? o.cbCFFolder : 0u);
    const uint32_t dataReserve = o.reserve ? o.cbCFData : 0u;
    const uint32_t coffFiles = headerSize + folderRecord * static_cast<uint32_t>(folderCount);
    uint32_t recordsSize = 0;
    for (const auto& f : files) recordsSize += 16 + static_cast<uint32_t>(f.name.size()) + 1;
    const uint32_t dataStart = coffFiles + recordsSize;

    // Lay out each folder's blocks and each file's offset.
    struct Block {
        Bytes data;          // uncompressed
        Bytes written;       // as it lies in the cabinet
        uint16_t cbUncomp = 0;
    };
    std::vector<std::vector<Block>> blocks(folderCount);
    std::vector<uint32_t> uoff(n, 0);
    std::vector<uint32_t> fileBlockIndex(n, 0), fileInBlock(n, 0);
    for (size_t folder = 0; folder < folderCount; ++folder) {
        auto& bl = blocks[folder];
        uint32_t dataOffset = 0;
        for (size_t i = 0; i < n; ++i) {
            if (folderOf[i] != folder) continue;
            const Bytes& d = files[i].data;
            // Where the file starts: a block index (possibly one not made
            // yet) and the offset within it.
            size_t startBlock;
            uint32_t within;
            if (o.blockPerFile || bl.empty() || bl.back().data.size() >= o.blockSize) {
                startBlock = bl.size();
                within = 0;
                if (!d.empty()) bl.push_back({});
            } else {
                startBlock = bl.size() - 1;
                within = static_cast<uint32_t>(bl.back().data.size());
            }
            fileBlockIndex[i] = static_cast<uint32_t>(startBlock);
            fileInBlock[i] = within;
            if (o.headerCountedOffsets) {
                uint32_t u = 0;
                for (size_t b = 0; b < startBlock; ++b) u += static_cast<uint32_t>(bl[b].data.size()) + 8 + dataReserve;
                uoff[i] = u + within;
            } else {
                uoff[i] = dataOffset;
            }
            for (size_t pos = 0; pos < d.size();) {
                if (bl.empty() || bl.back().data.size() >= o.blockSize) bl.push_back({});
                size_t take = std::min<size_t>(d.size() - pos, o.blockSize - bl.back().data.size());
                bl.back().data.insert(bl.back().data.end(), d.begin() + static_cast<long>(pos),
                                      d.begin() + static_cast<long>(pos + take));
                pos += take;
            }
            dataOffset += static_cast<uint32_t>(d.size());
        }
    }

    // What each block holds in the cabinet.
    size_t blockNumber = 0;
    auto zipped = [&o](size_t folder) { return folder < o.mszipFolders.size() ? o.mszipFolders[folder] : o.mszip; };
    for (size_t folder = 0; folder < folderCount; ++folder) {
        Bytes history;  // the folder's output so far
        for (auto& b : blocks[folder]) {
            b.cbUncomp = static_cast<uint16_t>(b.data.size());
            if (zipped(folder)) {
                size_t keep = std::min<size_t>(history.size(), 32768);
                b.written = {'C', 'K'};
                Bytes stream = Deflate(b.data, history.data() + history.size() - keep, keep);
                b.written.insert(b.written.end(), stream.begin(), stream.end());
                history.insert(history.end(), b.data.begin(), b.data.end());
                if (history.size() > 65536) history.erase(history.begin(), history.end() - 32768);
            } else {
                b.written = b.data;
            }
            if (o.damage) o.damage(blockNumber, b.written, b.cbUncomp);
            ++blockNumber;
        }
    }
    auto typeCompress = [&](size_t folder) -> uint16_t { return zipped(folder) && o.typeCompress == 0 ? 1 : o.typeCompress; };

    Bytes out;
    out.reserve(dataStart + 1024);
    for (char c : {'M', 'S', 'C', 'F'}) out.push_back(static_cast<uint8_t>(c));
    Put32(out, 0);  // reserved1
    Put32(out, 0);  // cbCabinet, patched below
    Put32(out, 0);
    Put32(out, coffFiles);
    Put32(out, 0);
    out.push_back(3);
    out.push_back(1);
    Put16(out, static_cast<uint16_t>(folderCount));
    Put16(out, static_cast<uint16_t>(n));
    Put16(out, static_cast<uint16_t>((o.reserve ? 4 : 0) | o.extraFlags));
    Put16(out, o.setID);
    Put16(out, o.iCabinet);
    if (o.reserve) {
        Put16(out, o.cbCFHeader);
        out.push_back(o.cbCFFolder);
        out.push_back(o.cbCFData);
        out.insert(out.end(), o.cbCFHeader, 0);
    }
    layout.foldersOffset = static_cast<uint32_t>(out.size());
    std::vector<uint32_t> folderStart(folderCount);
    uint32_t at = dataStart;
    for (size_t folder = 0; folder < folderCount; ++folder) {
        folderStart[folder] = at;
        for (const auto& b : blocks[folder]) at += 8 + dataReserve + static_cast<uint32_t>(b.written.size());
        Put32(out, folderStart[folder]);
        Put16(out, static_cast<uint16_t>(blocks[folder].size()));
        Put16(out, typeCompress(folder));
        out.insert(out.end(), o.reserve ? o.cbCFFolder : 0, 0);
    }
    layout.folderDataStart = folderStart;
    for (size_t i = 0; i < n; ++i) {
        layout.fileRecordOffsets.push_back(static_cast<uint32_t>(out.size()));
        Put32(out, static_cast<uint32_t>(files[i].data.size()));
        Put32(out, uoff[i]);
        Put16(out, static_cast<uint16_t>(folderOf[i]));
        Put16(out, files[i].date);
        Put16(out, files[i].time);
        Put16(out, files[i].attribs);
        PutText(out, files[i].name);
    }
    std::vector<std::vector<uint32_t>> blockAt(folderCount);
    for (size_t folder = 0; folder < folderCount; ++folder) {
        for (const auto& b : blocks[folder]) {
            blockAt[folder].push_back(static_cast<uint32_t>(out.size()));
            layout.blockOffsets.push_back(static_cast<uint32_t>(out.size()));
            const uint16_t cbData = static_cast<uint16_t>(b.written.size());
            uint32_t csum = 0;
            if (o.checksums) csum = mirad::DataBlockChecksum(b.written.data(), cbData, b.cbUncomp);
            Put32(out, csum);
            Put16(out, cbData);
            Put16(out, b.cbUncomp);
            out.insert(out.end(), dataReserve, 0);
            out.insert(out.end(), b.written.begin(), b.written.end());
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const auto& ba = blockAt[folderOf[i]];
        uint32_t off = 0;
        if (fileBlockIndex[i] < ba.size() && !zipped(folderOf[i])) off = ba[fileBlockIndex[i]] + 8 + dataReserve + fileInBlock[i];
        layout.fileDataOffsets.push_back(off);
    }
    layout.cbCabinet = static_cast<uint32_t>(out.size());
    Patch32(out, 8, layout.cbCabinet);
    out.insert(out.end(), o.trailer.begin(), o.trailer.end());
    if (layoutOut) *layoutOut = layout;
    return out;
}

std::string InflateBlock(const uint8_t* data, size_t cbData, size_t cbUncomp, const uint8_t* window,
                         size_t windowSize, Bytes* out) {
    if (cbData < 2 || data[0] != 'C' || data[1] != 'K') return "no CK";
    z_stream z = {};
    if (inflateInit2(&z, -15) != Z_OK) return "inflateInit2 failed";
    size_t keep = std::min<size_t>(windowSize, 32768);
    if (keep) inflateSetDictionary(&z, window + windowSize - keep, static_cast<uInt>(keep));
    out->assign(cbUncomp + 1, 0);  // room for one byte too many
    z.next_in = const_cast<Bytef*>(data + 2);
    z.avail_in = static_cast<uInt>(cbData - 2);
    z.next_out = out->data();
    z.avail_out = static_cast<uInt>(out->size());
    int rc = inflate(&z, Z_FINISH);
    size_t produced = out->size() - z.avail_out, left = z.avail_in;
    inflateEnd(&z);
    out->resize(produced);
    if (rc != Z_STREAM_END) return "the stream does not end";
    if (left) return std::to_string(left) + " bytes after the stream";
    if (produced != cbUncomp) return "decodes to " + std::to_string(produced) + " bytes";
    return "";
}

Bytes Deflate(const Bytes& data, const uint8_t* dictionary, size_t dictionarySize) {
    z_stream z = {};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    if (dictionarySize && deflateSetDictionary(&z, dictionary, static_cast<uInt>(dictionarySize)) != Z_OK)
        throw std::runtime_error("deflateSetDictionary failed");
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    return out;
}

// ---- CE setup files ------------------------------------------------------------------

Bytes BuildSetupFile(const CeSetup& s, SetupLayout* layoutOut) {
    SetupLayout layout;
    Bytes out(100, 0);
    for (size_t i = 0; i < 4 && i < s.signature.size(); ++i) out[i] = static_cast<uint8_t>(s.signature[i]);
    Patch32(out, 20, static_cast<uint32_t>(s.processor));
    Patch32(out, 24, static_cast<uint32_t>(s.minVersionMajor));
    Patch32(out, 28, static_cast<uint32_t>(s.minVersionMinor));
    Patch32(out, 32, static_cast<uint32_t>(s.maxVersionMajor));
    Patch32(out, 36, static_cast<uint32_t>(s.maxVersionMinor));
    auto count = [](int override, size_t size) { return static_cast<uint16_t>(override >= 0 ? override : static_cast<int>(size)); };
    Patch16(out, 48, count(s.stringCount, s.strings.size()));
    Patch16(out, 50, count(s.directoryCount, s.directories.size()));
    Patch16(out, 52, count(s.copyFileCount, s.copyFiles.size()));
    Patch16(out, 54, count(s.hiveCount, s.hives.size()));
    Patch16(out, 56, count(s.valueCount, s.values.size()));
    Patch16(out, 58, count(s.shortcutCount, s.shortcuts.size()));

    if (!s.appName.empty()) {
        Patch16(out, 84, static_cast<uint16_t>(out.size()));
        Patch16(out, 86, static_cast<uint16_t>(s.appName.size() + 1));
        PutText(out, s.appName);
    }
    if (!s.provider.empty()) {
        Patch16(out, 88, static_cast<uint16_t>(out.size()));
        Patch16(out, 90, static_cast<uint16_t>(s.provider.size() + 1));
        PutText(out, s.provider);
    }
    if (!s.unsupported.empty() || s.unsupportedExtraNul) {
        size_t start = out.size();
        for (const auto& u : s.unsupported) PutText(out, u);
        if (s.unsupportedExtraNul) out.push_back(0);
        Patch16(out, 92, static_cast<uint16_t>(start));
        Patch16(out, 94, static_cast<uint16_t>(out.size() - start));
    }

    layout.strings = static_cast<uint32_t>(out.size());
    for (const auto& str : s.strings) {
        Put16(out, str.id);
        size_t length = str.storedLength >= 0 ? static_cast<size_t>(str.storedLength) : str.text.size() + 1;
        Put16(out, static_cast<uint16_t>(length));
        Bytes text(str.text.begin(), str.text.end());
        text.push_back(0);
        text.resize(length, 0);
        out.insert(out.end(), text.begin(), text.end());
    }
    layout.directories = static_cast<uint32_t>(out.size());
    for (const auto& d : s.directories) {
        Put16(out, d.id);
        Put16(out, static_cast<uint16_t>(d.listBytes >= 0 ? d.listBytes : static_cast<int>(2 * d.ids.size())));
        for (uint16_t id : d.ids) Put16(out, id);
    }
    layout.copyFiles = static_cast<uint32_t>(out.size());
    for (const auto& c : s.copyFiles) {
        Put16(out, c.fileId);
        Put16(out, c.directoryId);
        Put16(out, c.entryField);
        Put32(out, c.flags);
        Put16(out, static_cast<uint16_t>(c.name.size() + 1));
        PutText(out, c.name);
    }
    layout.hives = static_cast<uint32_t>(out.size());
    for (const auto& h : s.hives) {
        Put16(out, h.id);
        Put16(out, h.root);
        Put16(out, h.rootHigh);
        Put16(out, static_cast<uint16_t>(h.listBytes >= 0 ? h.listBytes : static_cast<int>(2 * h.ids.size())));
        for (uint16_t id : h.ids) Put16(out, id);
    }
    layout.values = static_cast<uint32_t>(out.size());
    for (const auto& v : s.values) {
        Put16(out, v.first);
        Put16(out, v.hiveId);
        Put16(out, v.third);
        Put32(out, v.typeFlags);
        int payload = v.payloadLength >= 0 ? v.payloadLength : static_cast<int>(v.name.size() + 1 + v.data.size());
        Put16(out, static_cast<uint16_t>(payload));
        PutText(out, v.name);
        out.insert(out.end(), v.data.begin(), v.data.end());
    }
    layout.shortcuts = static_cast<uint32_t>(out.size());
    for (const auto& sc : s.shortcuts) {
        Put16(out, sc.id);
        Put16(out, sc.baseDirectoryId);
        Put16(out, sc.baseMacro);
        Put16(out, sc.targetId);
        Put16(out, sc.targetIsFile);
        Put16(out, sc.specLength);
        Put16(out, sc.nameStringId);
    }
    layout.end = static_cast<uint32_t>(out.size());
    Patch32(out, 60, layout.strings);
    Patch32(out, 64, layout.directories);
    Patch32(out, 68, layout.copyFiles);
    Patch32(out, 72, layout.hives);
    Patch32(out, 76, layout.values);
    Patch32(out, 80, layout.shortcuts);
    if (layoutOut) *layoutOut = layout;
    return out;
}

Bytes BuildCeCabinet(const CeSetup& setup, const std::vector<StoredFile>& files, const CabOptions& options) {
    std::vector<StoredFile> all;
    StoredFile s;
    s.name = "SETUP.000";
    s.data = BuildSetupFile(setup);
    s.date = setup.storedDate;
    s.time = setup.storedTime;
    all.push_back(s);
    all.insert(all.end(), files.begin(), files.end());
    return BuildCabinet(all, options);
}

Bytes GameBytes() { return Pattern(5000, 7); }
Bytes LevelBytes() { return Pattern(40000, 8); }

Bytes GameCabinet(const CabOptions& options) {
    CeSetup s;
    s.appName = "Game";
    s.provider = "Example Co";
    s.strings = {{1, "%CE1%\\Game"}, {2, "data"}, {3, "Game.lnk"}, {4, "Software"}, {5, "Game"}};
    s.directories = {{1, {1}}, {2, {1, 2}}};
    s.copyFiles = {{1, 1, "game.exe"}, {2, 2, "level.dat"}};
    s.hives = {{1, 2, {4, 5}}};
    s.values = {{1, 0x00000000, "Version", {'1', '.', '0', 0}},
                {1, 0x00010001, "Runs", {7, 0, 0, 0}},
                {1, 0x00000001, "Key", {0xDE, 0xAD, 0xBE, 0xEF}}};
    CeShortcut shortcut;
    shortcut.id = 1;
    shortcut.baseMacro = 11;  // Start Menu\Programs
    shortcut.targetId = 1;
    shortcut.nameStringId = 3;
    s.shortcuts = {shortcut};
    StoredFile game, level;
    game.name = "game.001";
    game.data = GameBytes();
    level.name = "level.002";
    level.data = LevelBytes();
    return BuildCeCabinet(s, {game, level}, options);
}

// ---- Files and tools --------------------------------------------------------------------

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/mirad-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only files or directories behind.
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
}

StoredFile Stored(const std::string& name, Bytes data, uint16_t attribs) {
    StoredFile f;
    f.name = name;
    f.data = std::move(data);
    f.attribs = attribs;
    return f;
}
StoredFile Stored(const std::string& name, const std::string& text) { return Stored(name, BytesOf(text)); }

void WriteTree(const std::string& root, const std::map<std::string, Bytes>& files) {
    for (const auto& [key, bytes] : files) {
        std::string name = key;
        std::replace(name.begin(), name.end(), '\\', '/');
        fs::create_directories(fs::path(root + "/" + name).parent_path());
        WriteFile(root + "/" + name, bytes);
    }
}

CommandResult Mirad(const TempDir& dir, const std::string& arguments) {
    return Run("cd " + Quote(dir.path) + " && ulimit -f 102400 && " + Quote(HostPath()) + " --config cfg " + arguments);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

void WriteText(const std::string& path, const std::string& text) { WriteFile(path, BytesOf(text)); }

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
    Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> LinesStartingWith(const std::string& path, const std::vector<std::string>& prefixes) {
    std::vector<std::string> lines;
    std::istringstream in(ReadText(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (const auto& p : prefixes) {
            if (line.compare(0, p.size(), p) == 0) {
                lines.push_back(line);
                break;
            }
        }
    }
    return lines;
}

std::map<std::string, Bytes> FilesBelow(const std::string& root) {
    std::map<std::string, Bytes> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file()) files[it->path().lexically_relative(root).string()] = ReadFile(it->path().string());
    }
    return files;
}

CommandResult Run(const std::string& command) {
    CommandResult r;
    std::string full = command + " 2>&1";
    FILE* p = ::popen(full.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, got);
    int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool HaveTool(const std::string& name) { return Run("command -v " + Quote(name) + " >/dev/null").status == 0; }

std::string Quote(const std::string& text) {
    std::string q = "'";
    for (char c : text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string SourceDir() { return MIRAD_SOURCE_DIR; }

std::string PeerComplaints(const std::string& cab) {
    std::string said;
    for (const std::string test : {"cabextract -q -t ", "7zz t -bd "}) {
        const std::string tool = test.substr(0, test.find(' '));
        if (!HaveTool(tool)) continue;
        CommandResult r = Run(test + Quote(cab));
        if (r.status != 0) said += tool + ": " + r.out;
    }
    return said;
}

uint16_t FirstFolderMethod(const Bytes& b) {
    if (b.size() < 60) return 0xFFFF;
    size_t at = 36;  // after the header and its reserve, if any
    if (b[30] & 4) at += 4 + static_cast<size_t>(b[36] | (b[37] << 8));
    return at + 8 <= b.size() ? static_cast<uint16_t>(b[at + 6] & 0x0F) : 0xFFFF;
}

std::string CorpusDir() {
    std::string dir = MIRAD_CORPUS_DIR;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
    return dir;
}

std::vector<std::string> RealMszipCabinets() {
    std::vector<std::string> found;
    if (CorpusDir().empty()) return found;
    for (const auto& entry : fs::directory_iterator(CorpusDir() + "/real-ce"))
        if (FirstFolderMethod(ReadFile(entry.path().string())) == 1) found.push_back(entry.path().string());
    std::sort(found.begin(), found.end());
    return found;
}

std::string HostPath() { return MIRAD_HOST_PATH; }
std::string ModulePath() { return MIRAD_MODULE_PATH; }

// ---- The module ----------------------------------------------------------------------------

const std::vector<std::string>& ExportNames() {
    static const std::vector<std::string> names = {
        "CanYouHandleThisFile", "CanYouHandleThisFileW", "CloseArchive", "ConfigurePacker", "DeleteFiles",
        "DeleteFilesW", "ExtensionInitialize", "GetBackgroundFlags", "GetPackerCaps",
        "OpenArchive",          "OpenArchiveW",          "PackFiles",     "PackFilesW",         "PackSetDefaultParams",
        "ProcessFile",          "ProcessFileW",          "ReadHeader",    "ReadHeaderEx",       "ReadHeaderExW",
        "SetChangeVolProc",     "SetChangeVolProcW",     "SetProcessDataProc", "SetProcessDataProcW"};
    return names;
}

Module::Module() {
    char templ[] = "/tmp/mirad-module-XXXXXX";
    if (!mkdtemp(templ)) return;
    copyDir = templ;
    std::error_code ec;
    std::string copy = copyDir + "/Mirad.wcx";
    fs::copy_file(ModulePath(), copy, fs::copy_options::overwrite_existing, ec);
    if (ec) return;
    handle = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return;
    }
    auto get = [&](const char* name) { return ::dlsym(handle, name); };
    OpenArchive = reinterpret_cast<OpenArchiveFn>(get("OpenArchive"));
    ReadHeader = reinterpret_cast<ReadHeaderFn>(get("ReadHeader"));
    ProcessFile = reinterpret_cast<ProcessFileFn>(get("ProcessFile"));
    CloseArchive = reinterpret_cast<CloseArchiveFn>(get("CloseArchive"));
    PackFiles = reinterpret_cast<PackFilesFn>(get("PackFiles"));
    PackSetDefaultParams = reinterpret_cast<PackSetDefaultParamsFn>(get("PackSetDefaultParams"));
    GetPackerCaps = reinterpret_cast<GetPackerCapsFn>(get("GetPackerCaps"));
    SetChangeVolProc = reinterpret_cast<SetChangeVolProcFn>(get("SetChangeVolProc"));
    SetProcessDataProc = reinterpret_cast<SetProcessDataProcFn>(get("SetProcessDataProc"));
    CanYouHandleThisFile = reinterpret_cast<CanYouHandleThisFileFn>(get("CanYouHandleThisFile"));
    DeleteFiles = reinterpret_cast<DeleteFilesFn>(get("DeleteFiles"));
    if (!OpenArchive || !ReadHeader || !ProcessFile || !CloseArchive || !PackFiles || !PackSetDefaultParams ||
        !GetPackerCaps || !SetChangeVolProc || !SetProcessDataProc || !CanYouHandleThisFile || !DeleteFiles) {
        ::dlclose(handle);
        handle = nullptr;
    }
}

Module::~Module() {
    if (handle) ::dlclose(handle);
    if (!copyDir.empty()) {
        std::error_code ec;
        fs::remove_all(copyDir, ec);
    }
}

void Module::SetSettingsDir(const std::string& settingsDir) {
    DefaultParams p;
    std::memset(&p, 0, sizeof p);
    p.size = sizeof p;
    p.interfaceVersionLow = 10;
    p.interfaceVersionHigh = 2;
    std::string path = settingsDir + "/Mirad.ini";
    std::strncpy(p.defaultSettingsPath, path.c_str(), sizeof p.defaultSettingsPath - 1);
    PackSetDefaultParams(&p);
}

OpenResult Open(Module& m, const std::string& cabinet) {
    OpenRequest r;
    std::memset(&r, 0, sizeof r);
    std::vector<char> name(cabinet.begin(), cabinet.end());
    name.push_back('\0');
    r.archiveName = name.data();
    OpenResult out;
    out.handle = m.OpenArchive(&r);
    out.code = r.openResult;
    return out;
}

static Entry ToEntry(const EntryHeader& h) {
    Entry e;
    e.name = h.fileName;
    e.packedSize = h.packedSize;
    e.unpackedSize = h.unpackedSize;
    e.fileTime = h.fileTime;
    e.attributes = h.fileAttributes;
    return e;
}

std::vector<Entry> List(Module& m, const std::string& cabinet, int32_t* openCode) {
    std::vector<Entry> out;
    OpenResult o = Open(m, cabinet);
    if (openCode) *openCode = o.code;
    if (!o.handle) return out;
    EntryHeader h;
    std::memset(&h, 0, sizeof h);
    // A listing never walks more entries than the format can hold.
    for (int guard = 0; guard < 400000 && m.ReadHeader(o.handle, &h) == 0; ++guard) {
        out.push_back(ToEntry(h));
        m.ProcessFile(o.handle, MIRAD_SKIP, nullptr, nullptr);
        std::memset(&h, 0, sizeof h);
    }
    m.CloseArchive(o.handle);
    return out;
}

std::vector<std::pair<std::string, int32_t>> ExtractAll(Module& m, const std::string& cabinet, const std::string& dir,
                                                        int32_t operation) {
    std::vector<std::pair<std::string, int32_t>> out;
    OpenResult o = Open(m, cabinet);
    if (!o.handle) return out;
    EntryHeader h;
    std::memset(&h, 0, sizeof h);
    for (int guard = 0; guard < 400000 && m.ReadHeader(o.handle, &h) == 0; ++guard) {
        std::string name = h.fileName;
        std::string rel = name;
        for (char& c : rel)
            if (c == '\\') c = '/';
        std::string target = dir + "/" + rel;
        std::error_code ec;
        fs::create_directories(fs::path(target).parent_path(), ec);
        std::vector<char> t(target.begin(), target.end());
        t.push_back('\0');
        out.emplace_back(name, m.ProcessFile(o.handle, operation, nullptr, t.data()));
        std::memset(&h, 0, sizeof h);
    }
    m.CloseArchive(o.handle);
    return out;
}

ModuleEnv::ModuleEnv() {
    if (!m.ok()) throw std::runtime_error("the module could not be loaded");
}

void ModuleEnv::Options(bool ce, bool path, bool reg, bool shortcuts, bool inf, const std::string& log) {
    WriteSettings(m.directory(), ce, path, reg, shortcuts, inf, log);
    m.SetSettingsDir(m.directory());
}

std::string ModuleEnv::Cab(const std::string& name, const Bytes& bytes) {
    WriteFile(dir / name, bytes);
    return dir / name;
}

std::vector<std::string> ModuleEnv::Names(const std::string& cab, int32_t* openCode) {
    std::vector<std::string> names;
    for (const Entry& e : List(m, cab, openCode)) names.push_back(e.name);
    return names;
}

std::vector<int32_t> ModuleEnv::Process(const std::string& cab, int32_t operation, const std::string& sub) {
    std::vector<int32_t> codes;
    for (const auto& r : ExtractAll(m, cab, dir / sub, operation)) codes.push_back(r.second);
    return codes;
}

std::string HostName(std::string name) {
    std::replace(name.begin(), name.end(), '\\', mirad::platform::HostSeparator());
    return name;
}

std::vector<std::string> HostNames(std::vector<std::string> names) {
    for (std::string& name : names) name = HostName(name);
    return names;
}

int32_t HostTime(uint16_t dosDate, uint16_t dosTime) { return mirad::platform::HostFileTime(dosDate, dosTime); }

int32_t HostMode(uint16_t attribs) { return mirad::platform::HostAttributes(attribs); }

void WriteSettings(const std::string& dir, bool expandCE, bool expandPath, bool showRegistry, bool showShortcuts,
                   bool showInf, const std::string& debugFile) {
    std::ostringstream s;
    s << "[CONFIGURATION]\n"
      << "ExpandCE=" << (expandCE ? 1 : 0) << "\n"
      << "ExpandPath=" << (expandPath ? 1 : 0) << "\n"
      << "ShowRegistry=" << (showRegistry ? 1 : 0) << "\n"
      << "ShowShortcuts=" << (showShortcuts ? 1 : 0) << "\n"
      << "ShowInfFile=" << (showInf ? 1 : 0) << "\n"
      << "DebugFile=" << debugFile << "\n"
      << "Language=English\n";
    WriteText(dir + "/Mirad.ini", s.str());
}

}  // namespace fixture
