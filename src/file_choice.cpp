#include "file_choice.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

#include "errors.hpp"
#include "gzip.hpp"

namespace segmorph {

namespace {

HeadVerdict judge_text(std::string_view head, Selection::Content content, bool whole) {
    if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
    const std::size_t at = head.find_first_not_of(" \t\r\n\f");
    if (at == std::string_view::npos) return whole ? HeadVerdict::NotWanted : HeadVerdict::NeedMore;
    head.remove_prefix(at);
    if (content == Selection::Content::Json) {
        return head[0] == '[' || head[0] == '{' ? HeadVerdict::Wanted : HeadVerdict::NotWanted;
    }
    if (head[0] == '\x0B') return HeadVerdict::Wanted;
    if (head.size() < 3) {
        // A name cut by the end of what was read is completed by more.
        const bool could_be = std::string_view("MSH").starts_with(head) || std::string_view("FHS").starts_with(head) ||
                              std::string_view("BHS").starts_with(head);
        return could_be && !whole ? HeadVerdict::NeedMore : HeadVerdict::NotWanted;
    }
    const std::string_view name = head.substr(0, 3);
    return name == "MSH" || name == "FHS" || name == "BHS" ? HeadVerdict::Wanted : HeadVerdict::NotWanted;
}

enum class Sniff { Wanted, NotWanted, Unreadable };

// Whether a file's first bytes are those of the wanted content: read a
// page at a time, as few as tell.
Sniff sniff(const std::string& path, Selection::Content content) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Sniff::Unreadable;
    std::string head;
    char buf[4096];
    Sniff verdict = Sniff::NotWanted;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            verdict = Sniff::Unreadable;
            break;
        }
        head.append(buf, static_cast<std::size_t>(n));
        const bool whole = n == 0 || head.size() >= kSniffBytes;
        const HeadVerdict v = judge_head(head, content, whole);
        if (v != HeadVerdict::NeedMore) {
            verdict = v == HeadVerdict::Wanted ? Sniff::Wanted : Sniff::NotWanted;
            break;
        }
    }
    ::close(fd);
    return verdict;
}

bool matches_glob(const Selection& selection, const std::string& name, const std::string& relative) {
    for (const std::string& glob : selection.globs) {
        if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) return true;
        if (fnmatch(glob.c_str(), relative.c_str(), FNM_PATHNAME) == 0) return true;
    }
    return false;
}

// What a directory entry that is not a directory nor a regular file is.
std::string not_a_file(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO, not a file";
    if (S_ISSOCK(mode)) return "a socket, not a file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a file";
    return "not a file";
}

void walk(const std::string& dir, const std::string& relative, const Selection& selection, Inputs& out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        out.paths.push_back(dir);  // reading it reports why
        return;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir.ends_with('/') ? dir : dir + "/";
    for (const std::string& name : names) {
        const std::string path = prefix + name;
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        if (name.starts_with('.') && !selection.hidden) {
            out.hidden.push_back(path);
            continue;
        }
        struct stat st;
        // lstat: a link to a directory is not followed (no cycles), a link
        // to a file is read like the file.
        if (lstat(path.c_str(), &st) != 0) continue;  // vanished meanwhile
        if (S_ISDIR(st.st_mode)) {
            walk(path, rel, selection, out);
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            if (stat(path.c_str(), &st) != 0) {
                const int code = errno;
                out.skipped.push_back({path,
                                       code == ELOOP    ? "a link that loops"
                                       : code == ENOENT ? "a link that leads nowhere"
                                                        : "a link that cannot be followed (" +
                                                              Hl7Error::io(IoError::from_errno(code)).message() + ")",
                                       true});
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                out.skipped.push_back({path, "a link to a directory, not followed", false});
                continue;
            }
        }
        if (!S_ISREG(st.st_mode)) {
            out.skipped.push_back({path, not_a_file(st.st_mode), true});
            continue;
        }
        if (!selection.globs.empty()) {
            if (matches_glob(selection, name, rel)) out.paths.push_back(path);
            continue;
        }
        switch (sniff(path, selection.content)) {
            case Sniff::NotWanted:
                out.skipped.push_back(
                    {path, selection.content == Selection::Content::Json ? "not JSON" : "not HL7", false});
                break;
            case Sniff::Wanted:
            case Sniff::Unreadable:  // reading it reports why
                out.paths.push_back(path);
                break;
        }
    }
}

}  // namespace

HeadVerdict judge_head(std::string_view head, Selection::Content content, bool whole) {
    if (!is_gzip(head)) return judge_text(head, content, whole);
    // The text of a cut head is judged as far as it inflates: kSniffBytes
    // of compressed data hold more text than the decision needs.
    const std::string text = gunzip_head(head, kSniffBytes);
    return judge_text(text, content, whole || text.size() >= kSniffBytes);
}

bool is_hidden_path(std::string_view relative) {
    for (std::size_t start = 0; start <= relative.size();) {
        std::size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        if (end > start && relative[start] == '.') return true;
        start = end + 1;
    }
    return false;
}

void walk_directory(const std::string& dir, const Selection& selection, Inputs& out) { walk(dir, "", selection, out); }

}  // namespace segmorph
