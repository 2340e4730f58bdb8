// The program's own status and log lines, in one table: each has a name, its
// code ("P10004"; "P" for a line without a number of its own; empty for a
// line shown but never classified) and its text, where "{}" stands for a
// value filled in when the line is raised. A line's code and text are what
// the user sees and what the log keeps, so they never change.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

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
};

struct MessageEntry {
    Msg id;
    const char* code;
    const char* text;
};

inline constexpr MessageEntry kMessages[] = {
    {Msg::LocalSettingsNeeded, "P10001", "Local Settings Needed."},
    {Msg::ChangedFolder, "P10002", "Successfully changed folder."},
    {Msg::CopiedPage, "P10003", "Successfully copied {} to {} on {}"},
    {Msg::ConnectingFtp, "P10004", "Attempting to connect to FTP Server..."},
    {Msg::SystemOnline, "P10005", "System Online:   "},
    {Msg::SystemOffline, "P10006", "System Offline."},
    {Msg::SendingEmail, "P10007", "Attempting to send e-mail..."},
    {Msg::RequestingWan, "P10009", "Requesting WAN IP address from {} ..."},
    {Msg::WanLookupFailed, "P10009", "ERROR: Unable to retrieve WAN IP address from {}"},
    {Msg::ProgramChangeFtp, "P10010", "Program status change detected. Triggering FTP notification."},
    {Msg::ProgramChangeEmail, "P10011", "Program status change detected. Triggering E-Mail notification."},
    {Msg::EmailNotSent, "P", "Email not sent; see SMTPErrors.xml for details"},
    {Msg::EmailFileError, "P",
     "Email not sent: Error opening email input file. Please enter a file name in the 'Mail Message File' box on "
     "the 'E-Mail Options' tab. Samples may be found in the '.\\samples folder'."},
    {Msg::EmailNoSender, "P",
     "Email not sent: no sender address. Please enter the 'From' address on the 'E-Mail Options' tab."},
    {Msg::RecipientsRefused, "P", "Warning: the SMTP server refused these recipients: {}"},
    {Msg::RecipientNotAddress, "P", "Warning: '{}' is not an e-mail address; left out"},
    {Msg::RecipientsLeftOut, "P", "Warning: the recipient list is longer than {} characters; {} recipient(s) left out"},
    {Msg::SenderNotOneAddress, "P",
     "Email not sent: the sender '{}' is not one e-mail address. Please correct the 'From' address on the 'E-Mail "
     "Options' tab."},
    {Msg::CertificateRemembered, "P",
     "Warning: the certificate of the mail server {} is not verified; accepted and remembered (SHA-256 {})"},
    {Msg::EmailNotSentBecause, "P", "Email not sent: {}"},
    {Msg::UploadError, "P",
     "There was an error uploading page. Please see remote error messages for further details."},
    {Msg::FtpUnavailable, "P", "FTP publishing is not available in this build; the page was not uploaded."},
    {Msg::ProgramStatusesNotSaved, "P", "Could not save the program statuses in {}: {}."},
    {Msg::WatchedProgramsNotSaved, "P", "Could not save the watched programs in {}: {}."},
    {Msg::CleaningLog, "", "Cleaning Log File..."},
    {Msg::LogError, "", "Error opening log file."},
    {Msg::ConnectionFailure, "", "Unable to resolve hostname/Connection Timeout"},
    // A connection that could not be made, as the socket says why ("Unable
    // to connect to ftp.example.org port 21: Connection refused").
    {Msg::ConnectProblem, "P", "{}"},
    // The file error of a template that could not be read, as the page
    // generator words it.
    {Msg::TemplateUnreadable, "P10007", "{}"},
    // The cross-checked WAN lookup: the family ("IP", "IPv6"), then what each
    // source said ("URL said 203.0.113.7; URL gave no address (timed out)").
    {Msg::RequestingWan6, "P10009", "Requesting WAN IPv6 address from {} ..."},
    {Msg::WanSourcesPartial, "P10009", "WARNING: Not every WAN {} address source agreed: {}"},
    {Msg::WanSourcesDisagree, "P10009", "ERROR: The WAN {} address sources disagree, keeping {}: {}"},
    {Msg::WanSourcesFailed, "P10009", "ERROR: Unable to retrieve WAN {} address from {}: {}"},
    {Msg::WanUnreachable, "P10009", "WARNING: The WAN {} address {} cannot be reached from the Internet: {}."},
    {Msg::NetworkChanged, "P", "Network change detected: refreshing."},
    // A failed delivery in words, for the status line, the log and the
    // desktop note: what was being done, with whom, and what the peer said
    // (or why it said nothing). The host, the port, the step, the reply.
    {Msg::SmtpConnectFailed, "P", "Unable to connect to {} port {}: {}"},
    {Msg::SmtpLoginRefused, "P", "SMTP login refused by {} ({})"},
    {Msg::SmtpGreetingRefused, "P", "{} refused the connection ({})"},
    {Msg::SmtpStepRefused, "P", "{} refused {} ({})"},
    {Msg::SmtpNoAnswer, "P", "The mail server {} failed at {}: {}"},
    {Msg::EmailSent, "P", "E-mail sent to {} recipient(s)."},
    {Msg::FtpStepRefused, "P", "The FTP server refused the {}: {}"},
    {Msg::FtpStepFailed, "P", "The FTP {} failed."},
    {Msg::ChannelFailedAt, "P", "Failed at the {} step; the log has this refresh's lines."},
    // The end asked for by a signal or the session, with no one to answer a
    // question.
    {Msg::ExitWaitsForRefresh, "P", "Exit requested: the refresh that is running is given {} seconds to end."},
    {Msg::ExitRefreshTooLong, "P", "The refresh did not end in time: the offline page was not published."},
    {Msg::ExitSettingsNotSaved, "P", "The changes on the settings pages were not saved: Zelmar was told to end."},
};

constexpr const MessageEntry& MessageOf(Msg id) { return kMessages[static_cast<int>(id)]; }
// The text as it stands in the table (with its "{}" places).
constexpr const char* MessageText(Msg id) { return MessageOf(id).text; }

// The line as a status message: each "{}" of the text, left to right, takes
// the next value. Values are put in as they are; a "{}" inside a value stays.
StatusMessage Message(Msg id, std::initializer_list<std::string_view> values = {});

}  // namespace zelmar
