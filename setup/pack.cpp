// Changes through the view: the host copies files onto the names the
// listing showed it, or next to them. So a name is matched in the terms of
// the view the current settings give (setup/paths.h makes the listed paths),
// and a name no view lists becomes a new file only where the view says what
// it would be: below a directory macro or the install directory in the
// installed view, a plain stored file in the stored view.
#include "setup/pack.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/transaction.h"
#include "platform/ascii.h"
#include "platform/host.h"
#include "setup/edit.h"
#include "setup/paths.h"
#include "setup/setup.h"
#include "support/alloc.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/settings.h"

namespace mirad {

namespace {

// The format's flag for a stored name in UTF-8.
constexpr uint16_t kNameIsUtf8 = 0x80;

// What one packing call holds: the existing cabinet and its setup file.
struct PackJob {
    Cabinet cabinet;
    std::unique_ptr<CeSetup> setup;
};

// The view the host was shown, as the listing makes it.
struct View {
    const Settings& settings;
    bool installed;  // installed files instead of stored files
    bool expanded;   // macros replaced by device paths
};

// A listed name as the host hands it back: without leading separators.
std::string Bare(const std::string& s) { return s.substr(std::min(s.size(), s.find_first_not_of("\\/"))); }

bool Same(const std::string& a, const std::string& b) { return EqualNoCase(a.c_str(), a.size(), b.c_str(), b.size()); }

bool StartsNoCase(const std::string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    return s.size() >= n && SameTextNoCase(s.c_str(), prefix, n);
}

std::string Listed(const CeSetup& setup, const View& v, const char* stored, bool expand) {
    char path[kPathSize];
    HostPath(setup, v.settings, stored, expand, path);
    return path;
}

// A name from the host in the setup file's encoding: a POSIX host speaks
// UTF-8, a Windows host the code page setup-file strings are kept in.
bool ToSetupText(const std::string& host, uint32_t codePage, std::string* out) {
    bool ascii = true;
    for (char c : host) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii || platform::HostSeparator() != '/') {
        *out = host;
        return true;
    }
    return platform::Utf8ToCodePage(host, codePage, out);
}

struct Listing {
    enum Kind { None, Installed, Stored } kind = None;
    size_t index = 0;
};

// What the view lists under `key`: a copy-file by its destination with
// macros (the name every view accepts) or, expanded, by its device path; in
// the stored view a stored file by its name.
Listing FindListed(const PackJob& job, const View& v, const std::string& key) {
    const std::string bare = Bare(key);
    if (job.setup) {
        const auto& copies = job.setup->copyFiles();
        for (size_t i = 0; i < copies.size(); ++i) {
            if (Same(key, Listed(*job.setup, v, copies[i].destPath, false))) return {Listing::Installed, i};
            if (v.expanded && Same(bare, Bare(Listed(*job.setup, v, copies[i].destPath, true))))
                return {Listing::Installed, i};
        }
    }
    if (!v.installed) {
        const auto& files = job.cabinet.files();
        for (size_t i = 0; i < files.size(); ++i) {
            std::string name =
                platform::StoredNameToHost(files[i].name, (files[i].attribs & kNameIsUtf8) != 0, v.settings.CodePage);
            if (Same(bare, Bare(name))) return {Listing::Stored, i};
        }
    }
    return {};
}

// Where a new installed file goes, from `key` as the installed view lists
// it: a destination starting with its macro (%InstallDir%\..., %CEn%\...)
// or, expanded, a device path below the install directory or a macro's
// directory, the longest that covers it (the install directory before a
// macro of the same length, then the lowest macro number). The directory
// comes back as a setup path, both in the setup's encoding. False when no
// macro covers the name.
bool NewDestination(const CeSetup& setup, const View& v, const std::string& key, std::string* directory,
                    std::string* name) {
    size_t cut = key.rfind('\\');
    if (cut == std::string::npos || cut + 1 == key.size()) return false;
    const std::string dir = key.substr(0, cut);
    std::string macro, rest;
    auto boundary = [&dir](size_t at) { return at == dir.size() || dir[at] == '\\'; };
    size_t digits = 3;
    while (digits < dir.size() && dir[digits] >= '0' && dir[digits] <= '9') ++digits;
    if (StartsNoCase(dir, "%InstallDir%") && boundary(12)) {
        if (!setup.InstallDirectory()) return false;
        macro = "%InstallDir%";
        rest = dir.substr(12);
    } else if (StartsNoCase(dir, "%CE") && digits > 3 && digits < dir.size() && dir[digits] == '%' &&
               boundary(digits + 1)) {
        int n = std::atoi(dir.substr(3, digits - 3).c_str());
        if (digits - 3 > 2 || n < 1 || n > kMacroCount) return false;
        macro = "%CE" + std::to_string(n) + "%";
        rest = dir.substr(digits + 1);
    } else if (v.expanded) {
        const std::string bare = Bare(dir);
        size_t best = 0;
        auto consider = [&](const std::string& form, const std::string& device) {
            std::string d = Bare(device);
            if (d.empty() || d.size() <= best || bare.size() < d.size() || !StartsNoCase(bare, d.c_str())) return;
            if (bare.size() != d.size() && bare[d.size()] != '\\') return;
            best = d.size();
            macro = form;
            rest = bare.substr(d.size());
        };
        if (setup.InstallDirectory()) consider("%InstallDir%", Listed(setup, v, "%InstallDir%", true));
        for (int n = 1; n <= kMacroCount; ++n)
            consider("%CE" + std::to_string(n) + "%", v.settings.DirectoryMacroTable[n - 1]);
        if (macro.empty()) return false;
    } else {
        return false;
    }
    std::string setupRest;
    if (!ToSetupText(rest, v.settings.CodePage, &setupRest) ||
        !ToSetupText(key.substr(cut + 1), v.settings.CodePage, name))
        return false;
    *directory = macro + setupRest;
    return true;
}

// The changes one list makes: the new cabinet's entries and, when files are
// installed anew, the setup file laid out again.
class ListEdit {
public:
    ListEdit(PackJob& job, const View& v, const char* sourcePath)
        : job_(job), v_(v), sourcePath_(sourcePath), entries_(KeptEntries(job.cabinet)) {}

    Error Take(ListName& item, const std::string& key, const GeneratedName& generated);
    Error Finish();
    const std::vector<PackEntry>& entries() const { return entries_; }

private:
    Error Replace(size_t entry, ListName& item);
    Error AddStored(ListName& item, const std::string& key);
    Error AddInstalled(ListName& item, const std::string& key);

    PackJob& job_;
    const View& v_;
    const char* sourcePath_;
    std::vector<PackEntry> entries_;
    std::unique_ptr<SetupEdit> setupEdit_;
    std::vector<uint8_t> setupBytes_;
    // Entries added by this list, by the name that added them (lower case):
    // a later name for the same file wins.
    std::map<std::string, size_t> added_;
};

Error ListEdit::Replace(size_t entry, ListName& item) {
    if (Error e = ReplaceFrom(sourcePath_, item.name, &entries_[entry])) return e;
    item.packed = true;
    return kOk;
}

Error ListEdit::Take(ListName& item, const std::string& key, const GeneratedName& generated) {
    Listing found = FindListed(job_, v_, key);
    if (found.kind == Listing::Installed) {
        const SetupCopyFile& c = job_.setup->copyFiles()[found.index];
        // A copy-file whose bytes no stored file carries has nothing to replace.
        if (c.noStoredFile || c.entryIndex >= entries_.size()) {
            LogMessage("Not replaced: %s has no stored file", c.destPath);
            return NotSupported("no installed file of that path");
        }
        return Replace(c.entryIndex, item);
    }
    if (found.kind == Listing::Stored) {
        if (job_.setup && found.index == 0) {
            LogMessage("Not replaced: %s is the setup file", key.c_str());
            return NotSupported("the setup file");
        }
        return Replace(found.index, item);
    }
    if (generated && generated(Bare(key))) return NotSupported("a generated document");
    std::string lower = Bare(key);
    for (char& ch : lower) ch = AsciiLower(ch);
    auto again = added_.find(lower);
    if (again != added_.end()) return Replace(again->second, item);
    if (!v_.settings.EditInstallation) {
        LogMessage("Not replaced: %s is not a file the view lists", Bare(key).c_str());
        return NotSupported("no installed file of that path");
    }
    Error e = v_.installed ? AddInstalled(item, key) : AddStored(item, key);
    if (!e) added_[lower] = entries_.size() - 1;
    return e;
}

Error ListEdit::AddStored(ListName& item, const std::string& key) {
    std::string name = Bare(key);
    if (name.empty()) return NotSupported("no name");
    PackEntry e;
    if (Error rc = NewEntry(sourcePath_, item.name, name, &e)) return rc;
    // A number that a copy-file waits for would make the file installed.
    int32_t number = NumericSuffix(e.storedName.c_str());
    if (job_.setup && number >= 0) {
        for (const SetupCopyFile& c : job_.setup->copyFiles()) {
            if (c.fileId == number && c.noStoredFile) {
                LogMessage("Not added: %s carries the number of an installed file", name.c_str());
                return NotSupported("the number of an installed file");
            }
        }
    }
    LogMessage("Adding %s", e.storedName.c_str());
    entries_.push_back(std::move(e));
    item.packed = true;
    return kOk;
}

Error ListEdit::AddInstalled(ListName& item, const std::string& key) {
    const CeSetup& setup = *job_.setup;
    std::string directory, name;
    if (!NewDestination(setup, v_, key, &directory, &name)) {
        LogMessage("Not added: no directory macro covers %s", key.c_str());
        return NotSupported("no directory macro covers the name");
    }
    std::string destination = directory + "\\" + name;
    // One device path, one installed file or shortcut.
    const std::string device = Bare(Listed(setup, v_, destination.c_str(), true));
    for (const SetupCopyFile& c : setup.copyFiles()) {
        if (Same(device, Bare(Listed(setup, v_, c.destPath, true)))) {
            LogMessage("Not added: %s is installed as %s", key.c_str(), c.destPath);
            return NotSupported("installed under another name");
        }
    }
    for (uint16_t i = 0; i < setup.shortcuts().size(); ++i) {
        char path[kPathSize];
        ShortcutPath(setup, i, path);
        if (Same(device, Bare(Listed(setup, v_, path, true)))) {
            LogMessage("Not added: %s is a shortcut", key.c_str());
            return NotSupported("a shortcut");
        }
    }
    if (!setupEdit_) {
        setupEdit_.reset(new SetupEdit());
        if (Error e = setupEdit_->Start(setup, job_.cabinet)) return e;
    }
    uint16_t number = setupEdit_->NextFileNumber();
    if (!number) return NotSupported("no free file number");
    PackEntry e;
    if (Error rc = NewEntry(sourcePath_, item.name, StoredFileName(name, number), &e)) return rc;
    setupEdit_->AddCopyFile(directory, name, number, v_.settings.AddedFileFlags);
    LogMessage("Adding %s as %s", destination.c_str(), e.storedName.c_str());
    entries_.push_back(std::move(e));
    item.packed = true;
    return kOk;
}

Error ListEdit::Finish() {
    if (!setupEdit_ || !setupEdit_->changed()) return kOk;
    // The tables go before the new setup file is made; it is written from
    // the old one's bytes.
    std::vector<uint8_t> old = CeSetup::Release(std::move(job_.setup));
    Error written = setupEdit_->Write(old, &setupBytes_);
    setupEdit_.reset();
    if (written) return written;
    PackEntry& setup = entries_[0];
    setup.bytes = &setupBytes_;
    setup.listName = nullptr;
    setup.cbFile = static_cast<uint32_t>(setupBytes_.size());
    return kOk;
}

// The cabinet as the edited document `name` (the list's one file, `item`)
// makes it.
Error RebuildFromDocument(PackJob& job, UpdateTarget& target, const DocumentRebuild& rebuild, const std::string& name,
                          const ListName& item, const char* sourcePath, bool move, const ProgressCallback& progress) {
    std::string path = JoinListPath(sourcePath, item.name);
    DocumentEdit edit;
    if (Error e = rebuild(name, path, job.cabinet, std::move(job.setup), &edit)) return e;
    // Sources are full paths, the document's for `move` too.
    std::vector<ListName> sources{ListName{path.c_str(), false, true}};
    return RewriteCabinet(job.cabinet, target, edit.entries, sources, "", move, progress);
}

// What one delete list removes: stored files, copy-file rows and shortcut
// rows, by position.
struct Removal {
    std::vector<bool> stored, copyFiles, shortcuts;
};

// What the delete list's names mark, entry by entry as the view lists them:
// each entry's name there (no leading separator) is made once and checked
// against every name; installed files and shortcuts match by their
// destination with macros too, which every view accepts.
struct NameMatch {
    std::string name, bare, prefix;  // prefix: for "dir\*.*", everything below dir
    bool whole = false, found = false;
    std::string setupFile;  // the setup file's name when the name takes it
};

enum class ListedKind { Installed, Shortcut, Stored };

void MatchEntry(const PackJob& job, std::vector<NameMatch>& names, ListedKind kind, size_t index, const std::string& listed,
                const std::string& macros, Removal* r) {
    for (NameMatch& n : names) {
        bool match = n.whole ? listed.size() > n.prefix.size() && StartsNoCase(listed, n.prefix.c_str())
                             : Same(n.bare, listed) || (!macros.empty() && Same(n.name, macros));
        if (!match) continue;
        n.found = true;
        if (kind == ListedKind::Stored) {
            if (job.setup && index == 0) {
                if (n.setupFile.empty()) n.setupFile = listed;
                continue;
            }
            r->stored[index] = true;
            // The installed file it carries goes with it.
            if (job.setup) {
                const auto& copies = job.setup->copyFiles();
                for (size_t i = 0; i < copies.size(); ++i)
                    if (!copies[i].noStoredFile && copies[i].entryIndex == index) r->copyFiles[i] = true;
            }
        } else if (kind == ListedKind::Installed) {
            r->copyFiles[index] = true;
        } else {
            r->shortcuts[index] = true;
        }
    }
}

// Marks what each of `names` (as the view lists them; "dir\*.*" for
// everything below dir) removes. NotSupported, logged with the reason for the
// first name in list order that takes the setup file, a document, or
// nothing the view lists.
Error MarkRemoval(const PackJob& job, const View& v, std::vector<NameMatch>& names, const GeneratedName& generated,
                  Removal* r) {
    for (NameMatch& n : names) {
        n.bare = Bare(n.name);
        n.whole = n.bare.size() >= 4 && n.bare.compare(n.bare.size() - 4, 4, "\\*.*") == 0;
        if (n.whole) n.prefix = n.bare.substr(0, n.bare.size() - 3);
    }
    if (v.installed) {
        const CeSetup& setup = *job.setup;
        for (size_t i = 0; i < setup.copyFiles().size(); ++i) {
            const char* dest = setup.copyFiles()[i].destPath;
            MatchEntry(job, names, ListedKind::Installed, i, Bare(Listed(setup, v, dest, v.expanded)),
                       Listed(setup, v, dest, false), r);
        }
        for (uint16_t i = 0; i < setup.shortcuts().size(); ++i) {
            char path[kPathSize];
            ShortcutPath(setup, i, path);
            MatchEntry(job, names, ListedKind::Shortcut, i, Bare(Listed(setup, v, path, v.expanded)),
                       Listed(setup, v, path, false), r);
        }
    } else {
        const auto& files = job.cabinet.files();
        for (size_t i = 0; i < files.size(); ++i) {
            std::string name =
                platform::StoredNameToHost(files[i].name, (files[i].attribs & kNameIsUtf8) != 0, v.settings.CodePage);
            MatchEntry(job, names, ListedKind::Stored, i, Bare(name), std::string(), r);
        }
    }
    for (const NameMatch& n : names) {
        if (!n.setupFile.empty()) {
            LogMessage("Not removed: %s is the setup file", n.setupFile.c_str());
            return NotSupported("the setup file");
        }
        if (n.found) continue;
        if (generated && generated(n.bare)) {
            LogMessage("Not removed: %s is a document the setup file makes", n.bare.c_str());
            return NotSupported("a generated document");
        }
        LogMessage("Not removed: %s is not listed", n.bare.c_str());
        return NotSupported("not listed");
    }
    return kOk;
}

// Completes a removal: a stored file goes with the last copy-file that
// installs it, and no shortcut may lose its target.
Error CheckRemoval(const PackJob& job, Removal* r) {
    if (!job.setup) return kOk;
    const CeSetup& setup = *job.setup;
    const auto& copies = setup.copyFiles();
    std::vector<bool> stillCarried(r->stored.size(), false);
    for (size_t i = 0; i < copies.size(); ++i) {
        if (copies[i].noStoredFile || copies[i].entryIndex >= r->stored.size()) continue;
        if (r->copyFiles[i]) {
            r->stored[copies[i].entryIndex] = true;
        } else {
            stillCarried[copies[i].entryIndex] = true;
        }
    }
    for (size_t i = 0; i < r->stored.size(); ++i)
        if (stillCarried[i]) r->stored[i] = false;
    for (uint16_t i = 0; i < setup.shortcuts().size(); ++i) {
        const SetupShortcut& s = setup.shortcuts()[i];
        if (r->shortcuts[i] || !s.targetIsFile) continue;
        int32_t target = setup.FindCopyFile(s.targetId);
        if (target < 0 || !r->copyFiles[static_cast<size_t>(target)]) continue;
        char path[kPathSize];
        ShortcutPath(setup, i, path);
        LogMessage("Not removed: %s is the target of the shortcut %s", copies[static_cast<size_t>(target)].destPath,
                   path);
        return NotSupported("the target of a shortcut");
    }
    return kOk;
}

// A removal rewrites the entries kept, not the ones the host selected, so
// the host hears how much of the rewrite is done as a percentage (-1 to
// -100) instead of byte counts it would measure against its selection.
ProgressCallback RewritePercent(const ProgressCallback& progress, const std::vector<PackEntry>& kept) {
    if (!progress) return progress;
    uint64_t total = 0;
    for (const PackEntry& e : kept) total += e.cbFile;
    auto done = std::make_shared<uint64_t>(0);
    return [progress, total, done](char* name, int32_t bytes) {
        if (bytes <= 0) return progress(name, bytes);
        *done += static_cast<uint64_t>(bytes);
        uint64_t percent = total ? std::min<uint64_t>(100, *done * 100 / total) : 100;
        return progress(name, -static_cast<int32_t>(std::max<uint64_t>(1, percent)));
    };
}

}  // namespace

Error PackFilesInto(const char* cabinetPath, const char* subPath, const char* sourcePath, std::vector<ListName> list,
                    bool move, const ProgressCallback& progress, const GeneratedName& generated,
                    const DocumentRebuild& rebuild) {
    CountedPtr<PackJob> job = MakeCounted<PackJob>();
    if (!job) return NoMemory("packing");
    // A cut path could name another file.
    if (std::strlen(cabinetPath) >= kPathSize) return NotSupported("cabinet path too long");
    IoHandle file(IoOpen(cabinetPath, IoMode::Read));
    SettingsSnapshot settings = CurrentSettings();
    if (!file) {
        Compression compression = settings->Compression == kCompressionMszip ? Compression::Mszip : Compression::None;
        return CreateCabinet(cabinetPath, subPath, sourcePath, list, move, compression, progress);
    }
    // Read only what the lock protects: the file the name leads to once
    // another update has finished with it.
    file.Close();
    UpdateTarget target;
    if (Error e = target.Acquire(cabinetPath, progress)) return e;
    file = IoHandle(IoOpen(target.path().c_str(), IoMode::Read));
    if (!file) return CannotOpen("cannot open the cabinet");
    if (Error e = ReadCeCabinet(std::move(file), &job->cabinet, &job->setup)) return e;

    const bool ce = job->setup != nullptr;
    View view{*settings, ce && settings->ExpandPath != 0, ce && settings->ExpandCE != 0};
    // A generated document rebuilds the setup file on its own terms, so it
    // is copied in alone.
    if (ce && settings->EditInstallation && generated && rebuild) {
        const ListName* document = nullptr;
        std::string documentName;
        size_t files = 0;
        for (const ListName& item : list) {
            if (item.directory) continue;
            ++files;
            std::string key = StoredName(subPath, item.name);
            if (!document && generated(Bare(key))) {
                document = &item;
                documentName = Bare(key);
            }
        }
        if (document && files > 1) {
            LogMessage("Not changed: %s is copied with other files; copy it on its own", documentName.c_str());
            return NotSupported("a generated document with other files");
        }
        if (document) {
            if (!FitsPath(JoinListPath(sourcePath, document->name))) return NotSupported("source path too long");
            return RebuildFromDocument(*job, target, rebuild, documentName, *document, sourcePath, move, progress);
        }
    }
    ListEdit edit(*job, view, sourcePath);
    for (ListName& item : list) {
        if (!FitsPath(JoinListPath(sourcePath, item.name))) return NotSupported("source path too long");
        if (item.directory) continue;
        std::string key = StoredName(subPath, item.name);
        if (!FitsPath(key)) return NotSupported("stored name too long");
        if (Error e = edit.Take(item, key, generated)) return e;
    }
    if (Error e = edit.Finish()) return e;
    // Nothing below reads the setup file's tables.
    job->setup.reset();
    return RewriteCabinet(job->cabinet, target, edit.entries(), list, sourcePath, move, progress);
}

Error DeleteFromCabinet(const char* cabinetPath, const std::vector<ListName>& list, const GeneratedName& generated,
                        const ProgressCallback& progress) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->EditInstallation) {
        LogMessage("Not removed: EditInstallation is off");
        return NotSupported("editing is off");
    }
    CountedPtr<PackJob> job = MakeCounted<PackJob>();
    if (!job) return NoMemory("removing");
    if (std::strlen(cabinetPath) >= kPathSize) return NotSupported("cabinet path too long");
    UpdateTarget target;
    if (Error e = target.Acquire(cabinetPath, progress)) return e;
    IoHandle file(IoOpen(target.path().c_str(), IoMode::Read));
    if (!file) return CannotOpen("cannot open the cabinet");
    if (Error e = ReadCeCabinet(std::move(file), &job->cabinet, &job->setup)) return e;

    const bool ce = job->setup != nullptr;
    View view{*settings, ce && settings->ExpandPath != 0, ce && settings->ExpandCE != 0};
    Removal removal;
    removal.stored.assign(job->cabinet.files().size(), false);
    removal.copyFiles.assign(ce ? job->setup->copyFiles().size() : 0, false);
    removal.shortcuts.assign(ce ? job->setup->shortcuts().size() : 0, false);
    // Names up to the first one too long to use; that one is refused once
    // those before it are taken.
    std::vector<NameMatch> names;
    bool tooLong = false;
    for (const ListName& item : list) {
        std::string name = StoredName(nullptr, item.name);
        if (!FitsPath(name)) {
            tooLong = true;
            break;
        }
        names.push_back(NameMatch());
        names.back().name = name;
    }
    if (Error e = MarkRemoval(*job, view, names, generated, &removal)) return e;
    if (tooLong) return NotSupported("name too long");
    if (Error e = CheckRemoval(*job, &removal)) return e;

    const auto& files = job->cabinet.files();
    size_t left = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!removal.stored[i]) {
            ++left;
        } else {
            LogMessage("Removing %s", files[i].name);
        }
    }
    if (left == 0) {
        LogMessage("Not removed: a cabinet keeps at least one file");
        return NotSupported("the last file");
    }
    // The new setup file is made from the old one's bytes once the tables
    // are gone, and the entries once the old setup file's bytes are.
    std::vector<uint8_t> setupBytes;
    bool setupChanged = false;
    if (ce) {
        SetupEdit edit;
        if (Error e = edit.Start(*job->setup, job->cabinet)) return e;
        edit.Remove(removal.copyFiles, removal.shortcuts);
        setupChanged = edit.changed();
        std::vector<uint8_t> old = CeSetup::Release(std::move(job->setup));
        if (setupChanged) {
            if (Error e = edit.Write(old, &setupBytes)) return e;
        }
    }
    std::vector<PackEntry> kept = KeptEntries(job->cabinet);
    size_t at = 0;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (removal.stored[i]) continue;
        if (at != i) kept[at] = std::move(kept[i]);
        ++at;
    }
    kept.resize(at);
    if (setupChanged) {
        kept[0].bytes = &setupBytes;
        kept[0].cbFile = static_cast<uint32_t>(setupBytes.size());
    }
    std::vector<ListName> none;
    const ProgressCallback percent = RewritePercent(progress, kept);
    return RewriteCabinet(job->cabinet, target, kept, none, nullptr, false, percent);
}

}  // namespace mirad
