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
    // The page over SFTP or FTP with TLS.
    SecurePageConnecting,
    PageHostKeyAdded,
    PageHostKeyChanged,
    PageTlsMissingRefused,
    PageTlsMissingClear,
    PageCannotCarryTlsRefused,
    PageCannotCarryTls,
    PageCertificateRemembered,
    PageNotSent,
    PageSettingInvalid,
    // The FTP page read back over HTTP after its upload (app/publish).
    PageReadBackShows,
    PageReadBackStale,
    PageReadBackNoAddress,
    PageReadBackUnreadable,
    PageReadBackStatus,
    // The online notice's addresses, the Status page, the keyring and the
    // settings folder (app/core).
    OnlineAddresses,
    OnlineAddresses6,
    NotScheduled,
    SecretStoreLine,
    PasswordsScrambledInFile,
    SomePasswordsUnreachable,
    AllPasswordsUnreachable,
    KeyringRefusedSecret,
    KeyringUnusableSecretInFile,
    KeyringOldCopyKept,
    SecretMissingFromKeyring,
    SecretInLockedKeyring,
    SecretNotStorableInFile,
    CannotWrite,
    KeyringNotReachableToRemove,
    NoSecretService,
    NoSecretServiceBecause,
    NoSessionBus,
    NoSessionBusBecause,
    KeyringLocked,
    KeyringNoCollection,
    KeyringSilent,
    KeyringTimedOut,
    UnknownError,
    UntrustedSettings,
    NotYours,
    WritableByOthers,
    FileTooLarge,
    NotARegularFile,
    SettingsFileTooLarge,
    LibraryMissing,
    LibraryIncomplete,
    // Channel records and held channels (app/refresh).
    RecordInFuture,
    ChannelNote,
    RecordTimeTaken,
    HeldForSecret,
    // The address history, certificate pins, the command hook, desktop
    // notes and webhooks (app/notify).
    HistoryProblem,
    HistoryNotSaved,
    HistoryTooLarge,
    HistoryNotAHistory,
    CannotReadBecause,
    CannotWriteBecause,
    SymbolicLink,
    NoPinRemembered,
    PinForgotten,
    PinNotCleared,
    PinMalformed,
    HookEndsWithBackslash,
    HookUnclosedQuote,
    HookEmpty,
    HookNoCommand,
    HookNoPipe,
    HookCannotStart,
    HookOutput,
    HookOutputCut,
    HookNotStopped,
    HookStoppedOutsideGroup,
    HookStopped,
    HookSignal,
    HookExitCode,
    HookLeftovers,
    HookNotRun,
    NoNotificationService,
    WebhookNotSent,
    WebhookDelivered,
    WebhookNotDelivered,
    WebhookRefused,
    // The page's files (app/page) and the watched programs (app/monitor).
    PageFileError,
    ProgramsUnwatched,
    DisplayLost,
    // Where the WAN address comes from (app/address).
    WanSourceRefused,
    RouterBehindNat,
    RouterBehindCgnat,
    RouterMismatch,
    // The reasons and names of the WAN lookup's lines (app/address).
    WanNoAnswer,
    WanNoAddressBetween,
    WanEmptyAnswer,
    WanSeveralAddresses,
    WanNotAnAddress,
    WanAnIpv4Address,
    WanAnIpv6Address,
    WanSourceSaid,
    WanSourceGaveNothing,
    WanNotGlobal6,
    WanInCgnatRange,
    WanPrivateAddress,
    RouterLabel,
    RouterUnnamed,
    InterfaceLabel,
    CommandLabel,
    NoGlobalAddress,
    RouterIpv4Only,
    CommandsNotRunnable,
    CommandNotStarted,
    CommandTimedOut,
    CommandSignalled,
    CommandExitCode,
    CommandSilent,
    RouterNoOwnAddress,
    RouterNoUpnp,
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
    // The page over SFTP or FTP with TLS: the server, the protocol, the
    // known-hosts file, the fingerprint, the reason.
    {Msg::SecurePageConnecting, "P10150", MsgKind::Progress, "Connecting to {} by {}..."},
    {Msg::PageHostKeyAdded, "P10151", MsgKind::Warning, "Warning: the host key of {} was not known; it is now trusted and added to {}"},
    {Msg::PageHostKeyChanged, "P10152", MsgKind::Error, "The host key of {} differs from the one in {}: the page was not sent"},
    {Msg::PageTlsMissingRefused, "P10153", MsgKind::Error, "{} does not offer TLS (AUTH TLS): the page was not sent in clear"},
    {Msg::PageTlsMissingClear, "P10154", MsgKind::Warning, "Warning: {} does not offer TLS (AUTH TLS): the page went in clear"},
    {Msg::PageCannotCarryTlsRefused, "P10155", MsgKind::Error, "{} cannot carry TLS: the page was not sent"},
    {Msg::PageCannotCarryTls, "P10156", MsgKind::Warning, "Warning: {} cannot carry TLS: {}"},
    {Msg::PageCertificateRemembered, "P10157", MsgKind::Warning,
     "Warning: the certificate of the FTP server {} is not verified; accepted and remembered (SHA-256 {})"},
    {Msg::PageNotSent, "P10158", MsgKind::Error, "The page was not sent to {}: {}"},
    {Msg::PageSettingInvalid, "P10159", MsgKind::Error, "{}={} in [LocalSettings] is not one of {}: the page was not sent"},
    {Msg::PageReadBackShows, "P10130", MsgKind::Outcome, "{} shows {}."},
    {Msg::PageReadBackStale, "P10131", MsgKind::Error, "uploaded, but {} still shows {}"},
    {Msg::PageReadBackNoAddress, "P10132", MsgKind::Error, "uploaded, but {} holds no address"},
    {Msg::PageReadBackUnreadable, "P10133", MsgKind::Error, "uploaded, but {} could not be read: {}"},
    {Msg::PageReadBackStatus, "P10134", MsgKind::Error, "uploaded, but {} answered with HTTP status {}"},
    {Msg::OnlineAddresses, "P10190", MsgKind::Progress, "LAN IP: {}, WAN IP: {}"},
    // Follows the IPv4 pair on a machine that has an IPv6 address.
    {Msg::OnlineAddresses6, "P10191", MsgKind::Progress, ", LAN IPv6: {}, WAN IPv6: {}"},
    {Msg::NotScheduled, "P10192", MsgKind::Progress, "Not Scheduled to refresh"},
    // A line of the secret store (a fallback, a move) as it words it.
    {Msg::SecretStoreLine, "P10193", MsgKind::Warning, "{}"},
    // Why the keyring cannot be used, in each of the three.
    {Msg::PasswordsScrambledInFile, "P10194", MsgKind::Warning,
     "Passwords are kept scrambled in the settings file: the desktop keyring cannot be used ({})."},
    {Msg::SomePasswordsUnreachable, "P10195", MsgKind::Warning,
     "Some passwords are in the desktop keyring, which cannot be used now ({}): what needs them is not sent, and is "
     "tried again at each refresh; the others are kept scrambled in the settings file."},
    {Msg::AllPasswordsUnreachable, "P10196", MsgKind::Warning,
     "The passwords are in the desktop keyring, which cannot be used now ({}): what needs them is not sent, and is "
     "tried again at each refresh."},
    // The key ("Password"), why, the settings file.
    {Msg::KeyringRefusedSecret, "P10197", MsgKind::Warning,
     "the keyring did not take the {} ({}); it is kept scrambled in {}"},
    // Why, the key, the settings file.
    {Msg::KeyringUnusableSecretInFile, "P10198", MsgKind::Warning,
     "the keyring cannot be used ({}); the {} is kept scrambled in {}"},
    {Msg::KeyringOldCopyKept, "P10199", MsgKind::Warning, "the old copy in the keyring could not be removed: {}"},
    // The key, its section.
    {Msg::SecretMissingFromKeyring, "P10200", MsgKind::Error, "the {} of {} is missing from the keyring"},
    {Msg::SecretInLockedKeyring, "P10201", MsgKind::Error, "the {} of {} is in the keyring, which cannot be read: {}"},
    // What it is ("secret", "password").
    {Msg::SecretNotStorableInFile, "P10202", MsgKind::Error,
     "this {} cannot be stored in the settings file; please choose another"},
    {Msg::CannotWrite, "P10203", MsgKind::Error, "cannot write {}"},
    {Msg::KeyringNotReachableToRemove, "P10204", MsgKind::Error, "the keyring cannot be reached to remove the {}: {}"},
    {Msg::NoSecretService, "P10205", MsgKind::Error, "no Secret Service"},
    {Msg::NoSecretServiceBecause, "P10206", MsgKind::Error, "no Secret Service: {}"},
    {Msg::NoSessionBus, "P10207", MsgKind::Error, "no session bus"},
    {Msg::NoSessionBusBecause, "P10208", MsgKind::Error, "no session bus: {}"},
    {Msg::KeyringLocked, "P10209", MsgKind::Error, "the keyring is locked"},
    {Msg::KeyringNoCollection, "P10210", MsgKind::Error, "the keyring has no default collection"},
    {Msg::KeyringSilent, "P10211", MsgKind::Error,
     "the Secret Service did not answer in time; it is not asked again until the next refresh"},
    // How long it was given ("2.50 s", "5.00 s in all").
    {Msg::KeyringTimedOut, "P10212", MsgKind::Error, "the Secret Service did not answer within {}"},
    {Msg::UnknownError, "P10213", MsgKind::Error, "unknown error"},
    // The folder, what is wrong with it, then the variable and the folder
    // that would trust it.
    {Msg::UntrustedSettings, "P10214", MsgKind::Error,
     "not using the settings in {}: {}, and they name commands that would run as you. To use them anyway, start "
     "with {}={} in the environment."},
    // What ("the folder", "Zelmar.ini"), its owner, the user.
    {Msg::NotYours, "P10215", MsgKind::Error, "{} belongs to {}, not to you ({})"},
    // What, who ("anyone", "its group"), the mode in octal.
    {Msg::WritableByOthers, "P10216", MsgKind::Error, "{} may be written by {} (mode {})"},
    {Msg::FileTooLarge, "P10217", MsgKind::Error, "'{}' is larger than {} KiB; it is not read."},
    {Msg::NotARegularFile, "P10218", MsgKind::Error, "it is not a regular file"},
    {Msg::SettingsFileTooLarge, "P10219", MsgKind::Error, "it is larger than {} MiB"},
    // A library loaded at run time: its label, the loader's words.
    {Msg::LibraryMissing, "P10220", MsgKind::Error, "no {} ({})"},
    {Msg::LibraryIncomplete, "P10221", MsgKind::Error, "{} lacks {}"},
    // The times of a record that were brought back, as RecordTimeTaken says
    // them.
    {Msg::RecordInFuture, "P10222", MsgKind::Warning, "its record lies in the future (the clock was set ahead?): {}"},
    // A channel's name, then what it says of itself.
    {Msg::ChannelNote, "P10223", MsgKind::Warning, "{}: {}"},
    // The key, its time, the time used instead.
    {Msg::RecordTimeTaken, "P10224", MsgKind::Warning, "{} {} is taken as {}"},
    {Msg::HeldForSecret, "P10225", MsgKind::Error, "{}: not sent: {}; it is retried at the next refresh."},
    {Msg::HistoryProblem, "P10226", MsgKind::Error, "Address history: {}"},
    {Msg::HistoryNotSaved, "P10227", MsgKind::Error, "Address history not saved: {}"},
    {Msg::HistoryTooLarge, "P10228", MsgKind::Error,
     "{} is too large to be an address history; it is replaced at the next change"},
    {Msg::HistoryNotAHistory, "P10229", MsgKind::Error,
     "{} is not an address history; it is replaced at the next change"},
    {Msg::CannotReadBecause, "P10230", MsgKind::Error, "cannot read {}: {}"},
    {Msg::CannotWriteBecause, "P10231", MsgKind::Error, "cannot write {}: {}"},
    {Msg::SymbolicLink, "P10232", MsgKind::Error, "it is a symbolic link"},
    // The mail server's "host:port".
    {Msg::NoPinRemembered, "P10233", MsgKind::Outcome, "No certificate is remembered for the mail server {}"},
    {Msg::PinForgotten, "P10234", MsgKind::Outcome,
     "The next certificate of the mail server {} will be accepted and remembered"},
    {Msg::PinNotCleared, "P10235", MsgKind::Error, "Cannot write {}; the certificate stays as it was"},
    // The section, the key.
    {Msg::PinMalformed, "P10236", MsgKind::Error,
     "[{}] {} is not a SHA-256 fingerprint (64 hex digits, as \"AB:CD:...\" or \"sha256:...\"); correct it, or "
     "remove it to accept the server's certificate anew"},
    // Why "OnChangeCommand" could not be split into words or started.
    {Msg::HookEndsWithBackslash, "P10237", MsgKind::Error, "the command ends with a backslash"},
    {Msg::HookUnclosedQuote, "P10238", MsgKind::Error, "the command has an unclosed quote"},
    {Msg::HookEmpty, "P10239", MsgKind::Error, "the command is empty"},
    {Msg::HookNoCommand, "P10240", MsgKind::Error, "no command"},
    {Msg::HookNoPipe, "P10241", MsgKind::Error, "cannot make a pipe: {}"},
    {Msg::HookCannotStart, "P10242", MsgKind::Error, "cannot start {}: {}"},
    // A line the command wrote, masked.
    {Msg::HookOutput, "P10243", MsgKind::Progress, "OnChangeCommand: {}"},
    {Msg::HookOutputCut, "P10244", MsgKind::Progress, "OnChangeCommand: (further output not logged)"},
    // "OnChangeCommand <command>", then the seconds (and the process).
    {Msg::HookNotStopped, "P10245", MsgKind::Error,
     "{} did not end within {} seconds and could not be stopped (process {} is still there)"},
    {Msg::HookStoppedOutsideGroup, "P10246", MsgKind::Error,
     "{} did not end within {} seconds and was stopped; it had left its process group, so programs it started may "
     "still run"},
    {Msg::HookStopped, "P10247", MsgKind::Error, "{} did not end within {} seconds and was stopped with its child processes"},
    {Msg::HookSignal, "P10248", MsgKind::Error, "{} was ended by signal {} ({})"},
    {Msg::HookExitCode, "P10249", MsgKind::Error, "{} failed with exit code {}"},
    {Msg::HookLeftovers, "P10250", MsgKind::Warning, "{} left programs running; they were stopped"},
    {Msg::HookNotRun, "P10251", MsgKind::Error, "OnChangeCommand not run: {}"},
    // The service's bus name, then why.
    {Msg::NoNotificationService, "P10252", MsgKind::Warning,
     "No desktop notification service ({}): {}; notifications are not shown"},
    // The webhook's label ("Webhook ntfy: "), then what happened.
    {Msg::WebhookNotSent, "P10253", MsgKind::Error, "{}not sent: {}"},
    {Msg::WebhookDelivered, "P10254", MsgKind::Outcome, "{}delivered (HTTP {})"},
    {Msg::WebhookNotDelivered, "P10255", MsgKind::Error, "{}not delivered: {}"},
    // The label, the status, then ": " and the answer's first line, or nothing.
    {Msg::WebhookRefused, "P10256", MsgKind::Error, "{}not delivered: HTTP {}{}"},
    // What was being done ("read", "write"), the file, the system's reason.
    {Msg::PageFileError, "P10257", MsgKind::Error, "Cannot {} '{}': {}."},
    // Said on stderr: why no window can be seen.
    {Msg::ProgramsUnwatched, "P10258", MsgKind::Warning, "zelmar: {}; every watched program reads as not running."},
    {Msg::DisplayLost, "P10259", MsgKind::Warning,
     "zelmar: lost the connection to the X display; watched programs now read as not running."},
    // A WAN source item that is not understood, and the setting's name.
    {Msg::WanSourceRefused, "P10100", MsgKind::Warning,
     "WARNING: '{}' in {} is not a WAN address source (web, router, interface:NAME or command:PROGRAM); left out"},
    // What the router's own external address says about the network.
    {Msg::RouterBehindNat, "P10101", MsgKind::Warning,
     "WARNING: your router's own Internet address is {}: another router stands between it and the Internet "
     "(double NAT); a published address will not reach this machine"},
    {Msg::RouterBehindCgnat, "P10102", MsgKind::Warning,
     "WARNING: your router's own Internet address is {}: your provider shares one public address between "
     "customers; a published address will not reach this machine"},
    {Msg::RouterMismatch, "P10103", MsgKind::Warning,
     "WARNING: your router's own Internet address is {} but the echo pages see {}: another router or a VPN "
     "stands between it and the Internet; a published address may not reach this machine"},
    // A source's answer refused, in the words of "... gave no address (...)";
    // a source's name and why it gave nothing, as the WAN lines show them.
    {Msg::WanNoAnswer, "P10104", MsgKind::Error, "no answer ({})"},
    {Msg::WanNoAddressBetween, "P10105", MsgKind::Error, "no address between the delimiters"},
    {Msg::WanEmptyAnswer, "P10106", MsgKind::Error, "an empty answer"},
    {Msg::WanSeveralAddresses, "P10107", MsgKind::Error, "more than one address"},
    {Msg::WanNotAnAddress, "P10108", MsgKind::Error, "not an address"},
    {Msg::WanAnIpv4Address, "P10109", MsgKind::Error, "an IPv4 address"},
    {Msg::WanAnIpv6Address, "P10110", MsgKind::Error, "an IPv6 address"},
    {Msg::WanSourceSaid, "P10111", MsgKind::Error, "{} said {}"},
    {Msg::WanSourceGaveNothing, "P10112", MsgKind::Error, "{} gave no address ({})"},
    {Msg::WanNotGlobal6, "P10113", MsgKind::Error, "it is not a global IPv6 address"},
    {Msg::WanInCgnatRange, "P10114", MsgKind::Error, "it lies in the carrier-grade NAT range 100.64.0.0/10"},
    {Msg::WanPrivateAddress, "P10115", MsgKind::Error, "it is a private address"},
    {Msg::RouterLabel, "P10116", MsgKind::Error, "the router {} ({})"},
    {Msg::RouterUnnamed, "P10117", MsgKind::Error, "the router"},
    {Msg::InterfaceLabel, "P10118", MsgKind::Error, "the interface {}"},
    {Msg::CommandLabel, "P10119", MsgKind::Error, "the command {}"},
    {Msg::NoGlobalAddress, "P10120", MsgKind::Error, "it has no global {} address"},
    {Msg::RouterIpv4Only, "P10121", MsgKind::Error, "UPnP and NAT-PMP tell IPv4 addresses only"},
    {Msg::CommandsNotRunnable, "P10122", MsgKind::Error, "commands cannot be run here"},
    {Msg::CommandNotStarted, "P10123", MsgKind::Error, "it did not start ({})"},
    {Msg::CommandTimedOut, "P10124", MsgKind::Error, "it did not end within {} seconds and was stopped"},
    {Msg::CommandSignalled, "P10125", MsgKind::Error, "it was ended by signal {}"},
    {Msg::CommandExitCode, "P10126", MsgKind::Error, "it exited with code {}"},
    {Msg::CommandSilent, "P10127", MsgKind::Error, "it printed nothing"},
    {Msg::RouterNoOwnAddress, "P10128", MsgKind::Error, "the router has no Internet address of its own ({})"},
    {Msg::RouterNoUpnp, "P10129", MsgKind::Error, "no UPnP router answered"},
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
