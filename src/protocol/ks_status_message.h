// The status message, with which a server reports how an operation went: {"status":bool,"text":"..."}.
#pragma once

#include <string>

#include <rapidjson/document.h>

namespace ks {

struct StatusMessage {
  bool status = true;  // false when the server reports an error
  std::string text;    // the server's words
};

// Writes "status", then the whole of `text` (a NUL becomes \u0000).
std::string statusToJson(const StatusMessage& message);

// Returns false, leaving `message` untouched, when the text holds no "status" member (text that is not
// JSON included). Otherwise fills `message` and returns true; a "text" member is optional and taken up to
// its first NUL. Throws std::invalid_argument for a "status" that is not a bool (nothing changed) or a
// "text" that is not a string (`status` already set).
bool statusFromJson(StatusMessage& message, const char* text);

// The same for a message parsed already: `root` as json::ParsedMessage or json::parseObjectInPlace give it.
bool statusFromJson(StatusMessage& message, const rapidjson::Value& root);

}  // namespace ks
