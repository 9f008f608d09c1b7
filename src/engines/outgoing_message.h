// A stored Outbox message made ready for the SMTP client: read as stored (header
// section and body go out as the compose page wrote them), and its envelope built once
// from To, Cc and Bcc with typed lists split and repeated addresses dropped. The
// transmitted header never carries Bcc; the Bcc addresses only become RCPT commands.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class TIdMessage;

// The bare addresses of a recipient text ("Ann <a@x>; b@y, \"Doe, J\" <c@z>;"): split at
// "," and ";" outside quotes and angle brackets, trimmed, empty items dropped, and an
// address already listed (compared without regard to ASCII case) dropped.
std::vector<std::string> SplitRecipientText(std::string_view text);

// The envelope recipients of a message: To, then Cc, then Bcc, each address once.
std::vector<std::string> EnvelopeRecipients(const TIdMessage& message);

// Reads a message file for sending: raw (NoDecode, NoEncode), so it is transmitted as
// stored. Throws MessageError when the file cannot be read.
void LoadOutgoingMessage(const std::filesystem::path& file, TIdMessage& message);

// Replaces the message's address lists by its envelope: one To item per recipient,
// no Cc, no Bcc (the stored header section is what is transmitted). Returns the empty
// string, or the error text for the first address that cannot go into a command.
std::string PrepareEnvelope(TIdMessage& message);

}  // namespace kestrune
