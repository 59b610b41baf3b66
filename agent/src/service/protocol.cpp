#include "protocol.h"

namespace velloc::service {

namespace {
constexpr int kVersion = 1;
}

Request parseRequest(const std::string& line, json* id) {
  *id = nullptr;
  json j = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) throw RequestError("request is not JSON: send one JSON object per line");
  if (!j.is_object()) throw RequestError("request must be a JSON object");
  if (auto it = j.find("id"); it != j.end()) {
    if (!it->is_number() && !it->is_string()) throw RequestError("\"id\" must be a number or a string");
    *id = *it;
  }
  auto v = j.find("v");
  if (v == j.end()) throw RequestError("request has no protocol version \"v\" (this service speaks version 1)");
  if (!v->is_number_integer() || v->get<int64_t>() != kVersion)
    throw RequestError("protocol version " + v->dump() + " is not spoken here (this service speaks version 1)");
  auto op = j.find("op");
  if (op == j.end() || !op->is_string() || op->get_ref<const std::string&>().empty())
    throw RequestError("request has no \"op\" naming what to do");
  Request r;
  r.id = *id;
  r.op = op->get<std::string>();
  r.body = std::move(j);
  return r;
}

// The op's fields with the frame's on top: "v", "id" and "ok" are never an op's to set.
static json frame(const json& id, json fields) {
  json j = fields.is_object() ? std::move(fields) : json::object();
  j["v"] = kVersion;
  if (id.is_null()) j.erase("id");
  else j["id"] = id;
  return j;
}

static std::string text(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string replyOk(const json& id, json fields) {
  json j = frame(id, std::move(fields));
  j["ok"] = true;
  return text(j);
}

std::string replyError(const json& id, const std::string& message) {
  json j = frame(id, json::object());
  j["ok"] = false;
  j["error"] = message;
  return text(j);
}

std::string eventLine(const json& id, const std::string& kind, json fields) {
  json j = frame(id, std::move(fields));
  j.erase("ok");
  j["event"] = kind;
  return text(j);
}

std::string needString(const json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
    throw RequestError(std::string("\"") + name + "\" must be given as a non-empty string");
  return it->get<std::string>();
}

std::string optString(const json& body, const char* name, const std::string& dflt) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return dflt;
  if (!it->is_string()) throw RequestError(std::string("\"") + name + "\" must be a string");
  return it->get<std::string>();
}

uint64_t optUnsigned(const json& body, const char* name, uint64_t dflt, uint64_t max) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return dflt;
  if (!it->is_number_unsigned() || it->get<uint64_t>() > max)
    throw RequestError(std::string("\"") + name + "\" must be a whole number from 0 to " + std::to_string(max));
  return it->get<uint64_t>();
}

bool optBool(const json& body, const char* name, bool dflt) {
  auto it = body.find(name);
  if (it == body.end() || it->is_null()) return dflt;
  if (!it->is_boolean()) throw RequestError(std::string("\"") + name + "\" must be true or false");
  return it->get<bool>();
}

}  // namespace velloc::service
