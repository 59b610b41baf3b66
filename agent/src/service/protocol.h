// The control protocol's framing and field rules: a request is one JSON object on one
// line, {"v":1,"op":"...","id":...,...}; the reply echoes "v" and "id" and carries
// "ok" (true, with the op's fields; false, with "error"); events carry "event" instead
// of "ok" and come before the reply. Layout in docs/service.md.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace velloc::service {

using nlohmann::json;

// A request that cannot be carried out as asked; what() is the reply's "error".
class RequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Request {
  json id;          // as sent (a number or a string), null when absent
  std::string op;
  json body;        // the whole object
};

// Parses one line. Throws RequestError naming what is wrong (not JSON, not an object,
// no or another version, no op, an id that is neither number nor string); `*id` is set
// as soon as it is known, so that even a refusal can echo it.
Request parseRequest(const std::string& line, json* id);

std::string replyOk(const json& id, json fields);
std::string replyError(const json& id, const std::string& message);
std::string eventLine(const json& id, const std::string& kind, json fields);

// Fields of a request; each throws RequestError naming the field and what it must be.
std::string needString(const json& body, const char* name);
std::string optString(const json& body, const char* name, const std::string& dflt = "");
uint64_t optUnsigned(const json& body, const char* name, uint64_t dflt, uint64_t max);
bool optBool(const json& body, const char* name, bool dflt);

}  // namespace velloc::service
