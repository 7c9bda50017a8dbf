#pragma once

#include <memory>
#include <string>

#include "host/LiveSource.h"

// Frames published to an MQTT broker, one frame (the JSON Lines form) a message.
struct CMqttOptions {
    std::string host;
    int port = 1883;
    std::string topic;
    std::string clientId;  // fixed, so that the broker keeps the session while the host is down
    std::string user;      // empty: no login
    std::string password;
};

namespace MqttSource {

// Subscribes with QoS 1 in a persistent session. A message is acknowledged to the
// broker only once the frame it holds was settled (taken by the plug-in, or refused
// for good); a bad message is reported and acknowledged. A broker that is away is
// tried again with a backoff; the source never ends. Null (with `error`) for options
// that cannot work (an empty topic, a bad client id).
std::unique_ptr<CLiveSource> Subscribe(const CMqttOptions& options, std::string& error);

}  // namespace MqttSource
