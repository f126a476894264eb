#pragma once

// How one operation ended. Every operation ends in exactly one Outcome, and
// the host sees it only through the texts that MessageText makes of it.

#include <cstdint>
#include <string>

namespace zembrel::detail {

struct Outcome {
  enum class Kind : std::uint8_t {
    Succeeded,  // the transfer ran to its end; `status` says how the server answered
    Failed,     // it did not: `domain`, `code` and `words` say why
    Cancelled,  // the caller asked it to stop
  };
  // Where the domain text came from. A server's reply text is untrusted: it is
  // made safe before it becomes part of a message.
  enum class DomainSource : std::uint8_t { Ours, Peer };

  Kind kind = Kind::Failed;
  // Succeeded: the HTTP status or the FTP reply code (with the reply text in
  // `words`, as a directory command returns it).
  std::int32_t status = 0;
  // Failed: the error domain ("Custom", "POSIX", "NetDB", "HTTP", "Setup", a
  // local file's fault, or an FTP server's reply text) and its code.
  std::string domain;
  std::int64_t code = 0;
  DomainSource domainSource = DomainSource::Ours;
  // In words, for people: libcurl's error text, the server's reply, the OS
  // error. Never part of the seed's message texts.
  std::string words;

  // How a failure came about, for hosts that tell failures apart (the
  // operation interface's domain and code). The message texts above never
  // depend on it: an FTP failure keeps the fixed text hosts know for it.
  enum class Cause : std::uint8_t {
    AsNamed,        // `domain` and `code` are the interface's already
    ServerRefused,  // an FTP server refused; `causeCode` is its reply code
    Transfer,       // libcurl failed the transfer; `causeCode` is its result code
    NoConnection,   // the server could not be reached or named; libcurl's code
    LocalFile,      // the local file's fault; `causeCode` is the errno (0: none)
  };
  Cause cause = Cause::AsNamed;
  std::int64_t causeCode = 0;

  static Outcome succeeded(std::int32_t status, std::string replyText = {});
  static Outcome failed(std::string domain, std::int64_t code, std::string words,
                        DomainSource source = DomainSource::Ours);
  // An FTP server's refusal: its reply text is both the domain and the words.
  static Outcome refusedByPeer(std::string replyText, std::int64_t replyCode);
  // A failure whose host message keeps `domain` and `code`, while hosts of
  // the operation interface learn `cause`, `causeCode` and `words`.
  static Outcome failedBecause(Cause cause, std::int64_t causeCode, std::string domain,
                               std::int64_t code, std::string words,
                               DomainSource source = DomainSource::Ours);
  static Outcome cancelled();
  // A synchronous request refused before it started, because a streamed POST
  // of the same instance runs: failed in the domain "setup" with code 0.
  static Outcome busy();
  bool isBusy() const;

  bool ok() const { return kind == Kind::Succeeded; }
};

}  // namespace zembrel::detail
