// The catalogue: every sentence the program says, in one table. Each entry
// has a name, its code, its kind and its text, where "{}" stands for a value
// filled in when the line is raised.
//
// The code classifies a status line ("P10004"; "P" alone or none for the few
// lines that have always been without a number of their own) and is never
// shown. No two entries share a code, except the pairs the status lines have
// always shared (P10007, P10009, "P" and the uncoded lines): a line's code and
// text are what the user sees and what the log keeps, so they never change.
// New entries take the next free number.
//
// Status lines are raised with Message<Msg::X>(values...), which checks at
// build time that the values match the "{}" places; other sentences (message
// boxes, the command line's words on stderr) are had with Text<Msg::X>(...).
// Values are text or numbers. A translation would hook in here.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "app/core/status_message.h"

namespace zelmar {

enum class Msg {
    LocalSettingsNeeded,
    ChangedFolder,
    CopiedPage,
    ConnectingFtp,
    SystemOnline,
    SystemOffline,
    SendingEmail,
    RequestingWan,
    WanLookupFailed,
    ProgramChangeFtp,
    ProgramChangeEmail,
    EmailNotSent,
    EmailFileError,
    EmailNoSender,
    RecipientsRefused,
    RecipientNotAddress,
    RecipientsLeftOut,
    SenderNotOneAddress,
    CertificateRemembered,
    EmailNotSentBecause,
    UploadError,
    FtpUnavailable,
    ProgramStatusesNotSaved,
    WatchedProgramsNotSaved,
    CleaningLog,
    LogError,
    ConnectionFailure,
    ConnectProblem,
    TemplateUnreadable,
    RequestingWan6,
    WanSourcesPartial,
    WanSourcesDisagree,
    WanSourcesFailed,
    WanUnreachable,
    NetworkChanged,
    // Settings, the log and files (app/core).
    SettingOutOfRange,
    SettingsUnreadable,
    SettingsUnwritable,
    PasswordNotSaved,
    SecretNotMoved,
    TimerUnavailable,
    TimerNotStopped,
    SaveQuestion,
    ExitAnywayQuestion,
    TransferQuestion,
    NoLogName,
    FileNotFound,
    FileCannotOpen,
    FileCannotRead,
    FileNotRegular,
    // The FTP page (app/publish).
    FtpCannotConnect,
    // The command line (app/main.cpp), said on stderr.
    CannotWatchSignals,
    SecondSignal,
    StoppedWhileClosing,
    NoSockets,
    FolderBusy,
    FolderNotLockable,
    InstanceNotCheckable,
    OptionNeedsValue,
    UnknownOption,
    ForceNeedsOnce,
    SmtpAccountEmpty,
    NoPasswordGiven,
    NoSecretGiven,
    SmtpLoginNotStored,
    SmtpLoginStored,
    SecretNotStored,
    SecretStored,
    NoSuchEntry,
    WindowNotLoaded,
    NoDisplay,
    NoWindowBuild,
    ProgramNotice,
    ShutdownWait,
    NoSettingsFolder,
    CannotCreateFolder,
    NotAFolder,
    CannotUseFolder,
    FolderNotPrivate,
    PathTooLongForSocket,
    // What a failed delivery says in words, and a mail that went out.
    SmtpConnectFailed,
    SmtpLoginRefused,
    SmtpGreetingRefused,
    SmtpStepRefused,
    SmtpNoAnswer,
    EmailSent,
    FtpStepRefused,
    FtpStepFailed,
    ChannelFailedAt,
    ExitWaitsForRefresh,
    ExitRefreshTooLong,
    ExitSettingsNotSaved,
    // A second start, and what the window says on its status line, message
    // bar and pages.
    AlreadyRunning,
    DesktopNotesMissing,
    AddressCopied,
    NoAddressToCopy,
    HelpNotInstalled,
    HelpOpened,
    NothingOpens,
    LogNotNamed,
    NoLogYet,
    SecretsMoveAtSave,
    WebhookTestNotSent,
    WebhookTestSending,
    CommandTestRunning,
    FirstRunNote,
    NotSetUpNoWan,
    NoWanShown,
    NumberOutOfRange,
    OfflinePageNotPublished,
    NoChangeRecorded,
    LastChangeAgo,
    WebhookTimeoutRange,
};

// What a sentence is: progress of a step, the outcome of one, something the
// user should look at, a failure, or a question the user answers.
enum class MsgKind { Progress, Outcome, Warning, Error, Question };

struct MessageEntry {
    Msg id;
    const char* code;
    MsgKind kind;
    const char* text;
};

inline constexpr MessageEntry kMessages[] = {
    {Msg::LocalSettingsNeeded, "P10001", MsgKind::Error, "Local Settings Needed."},
    {Msg::ChangedFolder, "P10002", MsgKind::Progress, "Successfully changed folder."},
    {Msg::CopiedPage, "P10003", MsgKind::Outcome, "Successfully copied {} to {} on {}"},
    {Msg::ConnectingFtp, "P10004", MsgKind::Progress, "Attempting to connect to FTP Server..."},
    {Msg::SystemOnline, "P10005", MsgKind::Outcome, "System Online:   "},
    {Msg::SystemOffline, "P10006", MsgKind::Outcome, "System Offline."},
    {Msg::SendingEmail, "P10007", MsgKind::Progress, "Attempting to send e-mail..."},
    {Msg::RequestingWan, "P10009", MsgKind::Progress, "Requesting WAN IP address from {} ..."},
    {Msg::WanLookupFailed, "P10009", MsgKind::Error, "ERROR: Unable to retrieve WAN IP address from {}"},
    {Msg::ProgramChangeFtp, "P10010", MsgKind::Progress, "Program status change detected. Triggering FTP notification."},
    {Msg::ProgramChangeEmail, "P10011", MsgKind::Progress,
     "Program status change detected. Triggering E-Mail notification."},
    {Msg::EmailNotSent, "P", MsgKind::Error, "Email not sent; see SMTPErrors.xml for details"},
    {Msg::EmailFileError, "P", MsgKind::Error,
     "Email not sent: Error opening email input file. Please enter a file name in the 'Mail Message File' box on "
     "the 'E-Mail Options' tab. Samples may be found in the '.\\samples folder'."},
    {Msg::EmailNoSender, "P10012", MsgKind::Error,
     "Email not sent: no sender address. Please enter the 'From' address on the 'E-Mail Options' tab."},
    {Msg::RecipientsRefused, "P10013", MsgKind::Warning, "Warning: the SMTP server refused these recipients: {}"},
    {Msg::RecipientNotAddress, "P10014", MsgKind::Warning, "Warning: '{}' is not an e-mail address; left out"},
    {Msg::RecipientsLeftOut, "P10015", MsgKind::Warning,
     "Warning: the recipient list is longer than {} characters; {} recipient(s) left out"},
    {Msg::SenderNotOneAddress, "P10016", MsgKind::Error,
     "Email not sent: the sender '{}' is not one e-mail address. Please correct the 'From' address on the 'E-Mail "
     "Options' tab."},
    {Msg::CertificateRemembered, "P10017", MsgKind::Warning,
     "Warning: the certificate of the mail server {} is not verified; accepted and remembered (SHA-256 {})"},
    {Msg::EmailNotSentBecause, "P", MsgKind::Error, "Email not sent: {}"},
    {Msg::UploadError, "P10018", MsgKind::Error,
     "There was an error uploading page. Please see remote error messages for further details."},
    {Msg::FtpUnavailable, "P10019", MsgKind::Error,
     "FTP publishing is not available in this build; the page was not uploaded."},
    {Msg::ProgramStatusesNotSaved, "P10020", MsgKind::Error, "Could not save the program statuses in {}: {}."},
    {Msg::WatchedProgramsNotSaved, "P10021", MsgKind::Error, "Could not save the watched programs in {}: {}."},
    {Msg::CleaningLog, "", MsgKind::Progress, "Cleaning Log File..."},
    {Msg::LogError, "", MsgKind::Error, "Error opening log file."},
    {Msg::ConnectionFailure, "", MsgKind::Error, "Unable to resolve hostname/Connection Timeout"},
    // A connection that could not be made, as the socket says why ("Unable
    // to connect to ftp.example.org port 21: Connection refused").
    {Msg::ConnectProblem, "P10022", MsgKind::Error, "{}"},
    // The file error of a template that could not be read, as the page
    // generator words it.
    {Msg::TemplateUnreadable, "P10007", MsgKind::Error, "{}"},
    // The cross-checked WAN lookup: the family ("IP", "IPv6"), then what each
    // source said ("URL said 203.0.113.7; URL gave no address (timed out)").
    {Msg::RequestingWan6, "P10023", MsgKind::Progress, "Requesting WAN IPv6 address from {} ..."},
    {Msg::WanSourcesPartial, "P10024", MsgKind::Warning, "WARNING: Not every WAN {} address source agreed: {}"},
    {Msg::WanSourcesDisagree, "P10025", MsgKind::Error, "ERROR: The WAN {} address sources disagree, keeping {}: {}"},
    {Msg::WanSourcesFailed, "P10026", MsgKind::Error, "ERROR: Unable to retrieve WAN {} address from {}: {}"},
    {Msg::WanUnreachable, "P10027", MsgKind::Warning,
     "WARNING: The WAN {} address {} cannot be reached from the Internet: {}."},
    {Msg::NetworkChanged, "P10028", MsgKind::Progress, "Network change detected: refreshing."},
    // The value as written, the key, its section, the range, the value used.
    {Msg::SettingOutOfRange, "P10029", MsgKind::Warning,
     "The value '{}' of \"{}\" in [{}] is outside {} to {}; {} is used (the file is left as it is)."},
    {Msg::SettingsUnreadable, "P10030", MsgKind::Error,
     "Unable to read the settings file {}: {}. The file is left unchanged."},
    {Msg::SettingsUnwritable, "P10031", MsgKind::Error, "Unable to write the settings file {}: {}."},
    {Msg::PasswordNotSaved, "P10032", MsgKind::Error, "The {} was not saved: {}"},
    {Msg::SecretNotMoved, "P10033", MsgKind::Error, "The {} of [{}] was not moved: {}"},
    {Msg::TimerUnavailable, "P10034", MsgKind::Error, "Unable to obtain timer"},
    {Msg::TimerNotStopped, "P10035", MsgKind::Error, "Unable to kill timer: {}"},
    {Msg::SaveQuestion, "P10036", MsgKind::Question, "Do you want to save your settings?"},
    {Msg::ExitAnywayQuestion, "P10037", MsgKind::Question, "There was an error uploading page. Exit anyway?"},
    {Msg::TransferQuestion, "P10038", MsgKind::Question,
     "You are in the middle of a transfer, are you sure you want to exit?"},
    {Msg::NoLogName, "P10039", MsgKind::Error, "Please specify log name file or disable logging."},
    {Msg::FileNotFound, "P10040", MsgKind::Error, "'{}' was not found."},
    {Msg::FileCannotOpen, "P10041", MsgKind::Error, "Cannot open '{}': {}."},
    {Msg::FileCannotRead, "P10042", MsgKind::Error, "Cannot read '{}': {}."},
    // The path, then what it is ("a directory", "a named pipe").
    {Msg::FileNotRegular, "P10043", MsgKind::Error, "'{}' is {}, not a regular file."},
    {Msg::FtpCannotConnect, "P10044", MsgKind::Error, "Unable to connect to {} port {}: {}"},
    {Msg::CannotWatchSignals, "P10045", MsgKind::Error, "Zelmar: cannot watch for signals: {}"},
    {Msg::SecondSignal, "P10046", MsgKind::Outcome, "Zelmar: stopped by a second signal."},
    {Msg::StoppedWhileClosing, "P10047", MsgKind::Outcome, "Zelmar: stopped while closing."},
    {Msg::NoSockets, "P10048", MsgKind::Error, "Zelmar: Unable to initialise the network sockets."},
    {Msg::FolderBusy, "P10049", MsgKind::Error, "Zelmar: another Zelmar uses the settings in {}; not started."},
    {Msg::FolderNotLockable, "P10050", MsgKind::Warning,
     "Zelmar: cannot make sure that no other Zelmar uses the settings in {}: {}"},
    {Msg::InstanceNotCheckable, "P10051", MsgKind::Error, "Zelmar: cannot make sure that only one copy runs: {}"},
    // The option, then what it needs ("the account name", "a folder").
    {Msg::OptionNeedsValue, "P10052", MsgKind::Error, "zelmar: {} needs {}"},
    {Msg::UnknownOption, "P10053", MsgKind::Error, "zelmar: unknown option '{}'"},
    {Msg::ForceNeedsOnce, "P10054", MsgKind::Error, "zelmar: --force goes with --once"},
    {Msg::SmtpAccountEmpty, "P10055", MsgKind::Error, "zelmar: --set-smtp-login needs a non-empty account name"},
    {Msg::NoPasswordGiven, "P10056", MsgKind::Error, "zelmar: no password given on standard input; nothing changed"},
    {Msg::NoSecretGiven, "P10057", MsgKind::Error, "zelmar: no secret given on standard input; nothing changed"},
    {Msg::SmtpLoginNotStored, "P10058", MsgKind::Error, "zelmar: SMTP login not stored: {}"},
    // The account, then where ("the password in the desktop keyring", "in <file>").
    {Msg::SmtpLoginStored, "P10059", MsgKind::Outcome, "zelmar: SMTP login for '{}' stored ({})"},
    // What was not stored ("secret not stored"), then why.
    {Msg::SecretNotStored, "P10060", MsgKind::Error, "zelmar: {}: {}"},
    {Msg::SecretStored, "P10061", MsgKind::Outcome, "zelmar: secret of [{}] stored in {}"},
    // The settings file, then the section the option names.
    {Msg::NoSuchEntry, "P10062", MsgKind::Error, "zelmar: {} has no entry [{}]; nothing changed"},
    {Msg::WindowNotLoaded, "P10063", MsgKind::Warning,
     "zelmar: cannot load the window ({}); running headless as with --headless."},
    {Msg::NoDisplay, "P10064", MsgKind::Warning,
     "zelmar: no display found (DISPLAY is not set); running headless as with --headless."},
    {Msg::NoWindowBuild, "P10065", MsgKind::Warning,
     "zelmar: this build has no window front end; running headless as with --headless."},
    // A line of the secret store (a fallback, a move) as it words it.
    {Msg::ProgramNotice, "P10066", MsgKind::Warning, "zelmar: {}"},
    // The window's "Zelmar Shutdown In Progress", as the headless run says it.
    {Msg::ShutdownWait, "P10067", MsgKind::Progress, "Please wait while Zelmar contacts remote server."},
    // The settings folder and the lock folders: reasons, said after "zelmar: ".
    {Msg::NoSettingsFolder, "P10068", MsgKind::Error,
     "neither XDG_CONFIG_HOME nor HOME names an absolute folder for the settings"},
    {Msg::CannotCreateFolder, "P10069", MsgKind::Error, "cannot create {}: {}"},
    {Msg::NotAFolder, "P10070", MsgKind::Error, "{} exists but is not a folder"},
    {Msg::CannotUseFolder, "P10071", MsgKind::Error, "cannot use {}: {}"},
    {Msg::FolderNotPrivate, "P10072", MsgKind::Error, "{} is not a folder private to this user"},
    {Msg::PathTooLongForSocket, "P10073", MsgKind::Error, "{} is too long a path for a local socket"},
    // A failed delivery in words, for the status line, the log and the
    // desktop note: what was being done, with whom, and what the peer said
    // (or why it said nothing). The host, the port, the step, the reply.
    {Msg::SmtpConnectFailed, "P10074", MsgKind::Error, "Unable to connect to {} port {}: {}"},
    {Msg::SmtpLoginRefused, "P10075", MsgKind::Error, "SMTP login refused by {} ({})"},
    {Msg::SmtpGreetingRefused, "P10076", MsgKind::Error, "{} refused the connection ({})"},
    {Msg::SmtpStepRefused, "P10077", MsgKind::Error, "{} refused {} ({})"},
    {Msg::SmtpNoAnswer, "P10078", MsgKind::Error, "The mail server {} failed at {}: {}"},
    {Msg::EmailSent, "P10079", MsgKind::Outcome, "E-mail sent to {} recipient(s)."},
    {Msg::FtpStepRefused, "P10080", MsgKind::Error, "The FTP server refused the {}: {}"},
    {Msg::FtpStepFailed, "P10081", MsgKind::Error, "The FTP {} failed."},
    {Msg::ChannelFailedAt, "P10082", MsgKind::Error, "Failed at the {} step; the log has this refresh's lines."},
    // The end asked for by a signal or the session, with no one to answer a
    // question.
    {Msg::ExitWaitsForRefresh, "P10083", MsgKind::Progress, "Exit requested: the refresh that is running is given {} seconds to end."},
    {Msg::ExitRefreshTooLong, "P10084", MsgKind::Error, "The refresh did not end in time: the offline page was not published."},
    {Msg::ExitSettingsNotSaved, "P10085", MsgKind::Warning, "The changes on the settings pages were not saved: Zelmar was told to end."},
    {Msg::AlreadyRunning, "P10260", MsgKind::Outcome,
     "Zelmar is already running for this user: its window was brought up."},
    // The session bus's name of the service, then why it did not answer.
    {Msg::DesktopNotesMissing, "P10261", MsgKind::Warning,
     "No desktop notification service ({}): {}; notifications are not shown"},
    // "LAN" or "WAN", then the address.
    {Msg::AddressCopied, "P10262", MsgKind::Outcome, "{} address {} copied to the clipboard."},
    {Msg::NoAddressToCopy, "P10263", MsgKind::Warning, "No {} address is known yet: the clipboard was emptied."},
    {Msg::HelpNotInstalled, "P10264", MsgKind::Error, "The Zelmar help is not installed."},
    {Msg::HelpOpened, "P10265", MsgKind::Outcome, "The help is {} (opened in the browser)."},
    // A file, folder or web address the desktop had nothing to open with.
    {Msg::NothingOpens, "P10266", MsgKind::Error,
     "Nothing on this computer could open\n{}\nOpen it by hand, or install a program for it."},
    {Msg::LogNotNamed, "P10267", MsgKind::Warning, "Logging has no file name set."},
    {Msg::NoLogYet, "P10268", MsgKind::Warning, "There is no log yet at {}."},
    {Msg::SecretsMoveAtSave, "P10269", MsgKind::Progress, "The passwords move there at the next Save."},
    {Msg::WebhookTestNotSent, "P10270", MsgKind::Error, "Not sent: {}"},
    {Msg::WebhookTestSending, "P10271", MsgKind::Progress, "Sending a test to \"{}\"..."},
    {Msg::CommandTestRunning, "P10272", MsgKind::Progress, "Running the command with sample addresses..."},
    {Msg::FirstRunNote, "P10273", MsgKind::Progress,
     "Your settings are kept in {}. The WAN address is looked up with the built-in address-echo services unless "
     "you give a page of your own (Advanced Options). To tell others, give the FTP site (FTP page) or the people "
     "to mail (E-Mail Options), and press Save."},
    // The status line in place of the online notice while the WAN address is
    // unknown; the value says which echo source gave none.
    {Msg::NotSetUpNoWan, "P10274", MsgKind::Warning, "Not set up yet, and no WAN address: {}."},
    {Msg::NoWanShown, "P10275", MsgKind::Warning, "No WAN address: {}; the log has the details."},
    {Msg::NumberOutOfRange, "P10276", MsgKind::Error, "Please enter a value between {} and {}"},
    {Msg::OfflinePageNotPublished, "P10277", MsgKind::Error, "The offline page could not be published."},
    {Msg::NoChangeRecorded, "P10278", MsgKind::Outcome, "No address change recorded yet."},
    {Msg::LastChangeAgo, "P10279", MsgKind::Outcome, "Last change {} ago."},
    {Msg::WebhookTimeoutRange, "P10280", MsgKind::Error, "Please enter a value between 0 and 3600 for the time-out."},
};

constexpr const MessageEntry& MessageOf(Msg id) { return kMessages[static_cast<int>(id)]; }
// The text as it stands in the table (with its "{}" places).
constexpr const char* MessageText(Msg id) { return MessageOf(id).text; }

// How many "{}" places the text of id has.
constexpr std::size_t MessagePlaces(Msg id) {
    const std::string_view text = MessageText(id);
    std::size_t n = 0;
    for (std::size_t at = text.find("{}"); at != std::string_view::npos; at = text.find("{}", at + 2)) ++n;
    return n;
}

// The text of id with each "{}", left to right, taking the next value.
// Values are put in as they are; a "{}" inside a value stays.
std::string FillMessage(Msg id, std::initializer_list<std::string_view> values);

// The line as a status message (untyped: the values are texts).
StatusMessage Message(Msg id, std::initializer_list<std::string_view> values = {});

namespace message_detail {
inline std::string_view AsText(std::string_view text) { return text; }
inline std::string_view AsText(const std::string& text) { return text; }
inline std::string_view AsText(const char* text) { return text; }
template <class Number, class = std::enable_if_t<std::is_arithmetic_v<Number>>>
std::string AsText(Number n) {
    return std::to_string(n);
}
template <class... Texts>
std::string FillTexts(Msg id, const Texts&... texts) {
    return FillMessage(id, {std::string_view(texts)...});
}
template <Msg id, class... Values>
std::string Fill(const Values&... values) {
    static_assert(sizeof...(Values) == MessagePlaces(id), "the values must match the message's {} places");
    // Numbers become text first; the texts live until the line is made.
    return FillTexts(id, AsText(values)...);
}
}  // namespace message_detail

// A status line: Message<Msg::CopiedPage>(file, remote, server).
template <Msg id, class... Values>
StatusMessage Message(const Values&... values) {
    return StatusMessage::Program(MessageOf(id).code, message_detail::Fill<id>(values...));
}

// Any other sentence (a box, a line on stderr): Text<Msg::TimerNotStopped>(slot).
template <Msg id, class... Values>
std::string Text(const Values&... values) {
    return message_detail::Fill<id>(values...);
}

// True when text (a server's reply, say) begins like one of the program's
// own status lines, ignoring case and leading blanks: such a text must not
// pass for one of ours.
bool LooksLikeOwnLine(std::string_view text);

}  // namespace zelmar
