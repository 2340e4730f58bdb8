// A channel's record in the settings file: what it last delivered, and where
// its retries stand. Each channel keeps one section of its own,
// "[Channel <name>]", so that adding a channel never touches another's keys:
//
//   [Channel FTP]
//   WANIP=203.0.113.7      LANIP=10.0.0.5      WANIP6=...     LANIP6=...
//   DeliveredAt=1765123456 Failures=0          RetryAt=0
//   StoppedFor=<fingerprint>                   StopReason=<code step reply>
//
// "LastWANIP"/"LastLANIP" keep telling what the last lookup found; a record
// tells what reached the peer. A delivery that failed leaves the record's
// addresses as they were, so the next refresh still sees a change to deliver.
#pragma once

#include <cstdint>
#include <string>

#include "app/refresh/delivery_channel.h"
#include "net/transfer_result.h"

namespace zelmar {

class IniFile;

// The most of an address a record keeps; longer texts are compared in this
// form too, so a long text that did not change is no change.
inline constexpr std::size_t kRecordAddressChars = 255;

// "Channel " + name.
std::string ChannelSection(const std::string& channel);

// The record as stored; a missing or broken value reads as its default.
ChannelRecord LoadChannelRecord(const IniFile& ini, const std::string& channel);
// Writes the record's keys into its section; false when the write failed.
bool StoreChannelRecord(IniFile& ini, const std::string& channel, const ChannelRecord& record);

// The back-off of a channel that keeps failing: 5 minutes after the first
// failure, doubling, never more than one hour.
inline constexpr std::int64_t kFirstRetryBackoffSeconds = 5 * 60;
inline constexpr std::int64_t kLongestRetryBackoffSeconds = 60 * 60;
// The wait after `failures` failed tries before this one.
std::int64_t RetryBackoffSeconds(int failures);

// A record time that no run could have written, later than now plus the
// longest back-off (the clock was once set ahead, or the file was edited):
// RetryAt is brought back to that bound and DeliveredAt to now, so that the
// channel is not held back for good. Returns the line that says so, empty
// when the record's times were sound.
std::string ClampFutureTimes(ChannelRecord& record, std::int64_t now);

// Whether the record holds the channel back from this refresh: stopped for
// the fingerprint its settings have now (a non-empty one), or waiting for a
// back-off time still ahead (a forced refresh does not wait).
bool HeldBack(const ChannelRecord& record, const std::string& fingerprint, std::int64_t now, bool forced);

// The record after a delivery attempt with this result.
void RecordResult(ChannelRecord& record, const DeliveryResult& result, const AddressSet& delivered,
                  const std::string& fingerprint, std::int64_t now);

// The change test of an "on IP change only" channel: true when the last
// attempt failed (it is tried again), or when any address differs from what
// was last delivered. A channel that never delivered compares against the
// previous lookup, as the program always did before it kept records, so an
// existing installation does not mail everyone once more when it is updated.
bool ChangedSinceDelivery(const RefreshSnapshot& snapshot, const ChannelRecord& record);

// A network delivery's outcome as a channel hands it back: delivered, or
// failed (tried again at the next refresh) with the server's code, the step
// and its reply.
DeliveryResult DeliveryResultOf(const TransferResult& transfer);

// Seconds since the epoch.
std::int64_t EpochSeconds(std::chrono::system_clock::time_point time);

}  // namespace zelmar
