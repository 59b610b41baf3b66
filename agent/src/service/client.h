// The client side of the control protocol: one connection to a running service, one
// request at a time, events handed to a callback until the reply comes.
#pragma once
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace velloc::service {

class Client {
 public:
  // Connects; throws agent::AgentError "no velloc service is listening on PATH ..." or
  // the service's refusal (another user's service).
  explicit Client(const std::string& socketPath);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Sends {"v":1,"id":N,"op":op,...fields} and returns the reply. Events before it go
  // to `onEvent`. Throws agent::AgentError when the reply says ok:false (its error) or
  // the service goes away.
  nlohmann::json call(const std::string& op, nlohmann::json fields = nlohmann::json::object(),
                      const std::function<void(const nlohmann::json&)>& onEvent = {});

 private:
  nlohmann::json readLine();
  std::string path_;
  int fd_ = -1;
  int nextId_ = 1;
  std::string pending_;
};

}  // namespace velloc::service
