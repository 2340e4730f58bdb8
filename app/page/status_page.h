// Status page generator: turns a user-written template (usually HTML, any
// text will do) into the page the world sees, by replacing a fixed set of
// tokens with the current addresses, date and time, site name, status word
// and the words of the watched programs. It also keeps the two optional
// local copies: the page itself ("SaveFileHTML") and a file holding only the
// WAN address ("SaveFileASCII").
//
// Templates are bytes: nothing but the tokens is touched, so the encoding and
// the line endings of the template reach the page unchanged.
//
// The generator knows nothing of the program around it: the caller hands it
// the values of this page (addresses, status and program words, the time)
// and where to report; app/page/snapshot_page.h gathers them from a
// refresh's snapshot.
//
// Every file is written to a temporary file beside it and renamed into place,
// so a full disk or a refused write never leaves a truncated page behind: the
// previous file stays as it was.
#pragma once

#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/file_io.h"
#include "app/core/host.h"

namespace zelmar {

// The most a template may hold; longer templates are cut here.
inline constexpr std::size_t kMaxTemplateBytes = 32000;

inline constexpr const char* kDiskWriteErrorText =
    "Unhandled error writing to disk. Please check file access permissions.";

// The values of the tokens for one page.
struct PageValues {
    std::string wanAddress;  // "%WI"
    std::string lanAddress;  // "%I"
    std::string siteName;    // "%H"
    std::string statusWord;  // "%S"
    std::tm time{};          // local time; every time token derives from it
    // Word for "%P0", "%P1", ...: one per row of the program status table.
    std::vector<std::string> programWords;
    // The "%{name}" tokens ("%{wan6}", "%{old_wan}", ...): expanded before
    // the fixed tokens; a name not listed here stays as written.
    std::map<std::string, std::string, std::less<>> braceValues;
};

// "3:04:05 PM": hour without padding (0 shows as 12), minutes, seconds.
std::string TwelveHourTime(const std::tm& t);

// Replaces every non-overlapping occurrence of token, left to right, in one
// linear pass. Returns the number of replacements.
std::size_t ReplaceAll(std::string& text, std::string_view token, std::string_view value);

// The substitution itself: first the "%{name}" tokens of braceValues in one
// pass, then the eleven fixed tokens in their fixed order, each
// pass working on the result of the one before, then "%P0", "%P1", ... in
// increasing order. The order matters: "%WI" goes before "%W" and "%I",
// "%P1" before "%P10", and a value that contains a later token has that
// token replaced too. A value is text and ends at its first NUL byte, as the
// template does: no NUL reaches the page.
std::string ExpandPageTemplate(std::string text, const PageValues& values);

// The word the page shows for a program tag: the stored word of the first
// row with that tag, else the "off" word of the indicator pair ("on/off",
// split at the first "/"; without "/" the whole text is the "off" word).
std::string OffWordOf(const std::string& indicatorPair);

// One page to make: the template, the output, the two optional copies and
// the values, with relative paths taken from the start folder.
struct PageJob {
    std::string startFolder;
    std::string templatePath;
    std::string outputPath;
    // The output is a working copy that is read back and deleted within the
    // same refresh (the page to upload, the mail text): it is not flushed to
    // disk. The local copies always are.
    bool outputIsWorkingCopy = false;
    std::string saveFileHtml;   // "SaveFileHTML"; empty: no copy
    std::string saveFileAscii;  // "SaveFileASCII"; empty: no copy
    PageValues values;
};

// Where the generator reports, on the calling thread.
class PageReporter {
public:
    virtual ~PageReporter() = default;
    // The template could not be read ("P10007" and the file error).
    virtual void Post(StatusMessage message) = 0;
    // A file could not be created: a box that "SuppressError" silences.
    virtual void ErrorBox(const MessageBoxRequest& box) = 0;
    // A write failed midway: a box shown always.
    virtual void MessageBox(const MessageBoxRequest& box) = 0;
};

// Reads the template (at most kMaxTemplateBytes, ending at the first NUL
// byte), expands it and writes outputPath, then the copies named by
// "SaveFileHTML" and "SaveFileASCII". Relative paths are joined to the start
// folder; the process's current folder is neither used nor changed, so the
// generator may run on any thread beside others.
//
// Returns 1 when the template was read, whatever happened while writing, and
// -1 when it could not be read (after posting "P10007 " and the file error).
// A file that cannot be created gets an error box and the other files are
// still written; a write that fails midway ends the writing with the stop
// box kDiskWriteErrorText.
int GenerateStatusPage(const PageJob& job, PageReporter& reporter);

}  // namespace zelmar
