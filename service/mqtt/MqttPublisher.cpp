#include "mqtt/MqttPublisher.h"

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "mqtt/MqttPayloads.h"

namespace km7::mqtt {

namespace {

constexpr int kKeepAliveSeconds = 30;
// The network thread looks for new states and a stop this often.
constexpr int kLoopMillis = 100;
// A clean stop waits this long for "offline" and the disconnect to go out,
// and Stop() this long for the thread (a connect to an unreachable host may
// block for longer; the thread then ends on its own).
constexpr auto kStopFlush = std::chrono::milliseconds(1500);
constexpr auto kStopJoin = std::chrono::milliseconds(2500);

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

void Wipe(std::string& s) {
  volatile char* p = s.data();
  for (std::size_t i = 0; i < s.size(); ++i) p[i] = 0;
  s.clear();
}

std::string ErrorText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

}  // namespace

struct MqttPublisher::Impl {
  MqttSettings settings;
  std::string name, serial, id;
  std::string stateTopic, statusTopic, discoveryTopic, discovery;
  mosquitto* mosq = nullptr;

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool finished = false;
  std::optional<std::string> pendingState;  // not yet sent
  std::optional<std::string> lastState;     // sent again after a reconnect
  std::string lastError;
  std::string reportedTrouble;
  std::atomic<Connection> connection{Connection::Stopped};
  bool connackSeen = false;  // this connection was accepted

  void Trouble(const std::string& text) {
    std::function<void(const std::string&)> report;
    {
      std::lock_guard lock(mutex);
      lastError = text;
      if (reportedTrouble == text) return;
      reportedTrouble = text;
      report = settings.report;
    }
    if (report) report(text);
  }

  void Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
  }

  static void OnConnect(mosquitto*, void* obj, int rc) {
    auto* self = static_cast<Impl*>(obj);
    if (rc != 0) {
      self->connection = Connection::Refused;
      std::string text = "the MQTT broker " + self->settings.broker.ToString() +
                         " refused the connection: " + mosquitto_connack_string(rc);
      if (rc == 4 || rc == 5) text += " (check --mqtt-user and --mqtt-password-file)";
      self->Trouble(text);
      return;
    }
    self->connackSeen = true;
    self->connection = Connection::Connected;
    std::function<void(const std::string&)> report;
    std::optional<std::string> state;
    {
      std::lock_guard lock(self->mutex);
      if (!self->reportedTrouble.empty()) report = self->settings.report;
      self->reportedTrouble.clear();
      self->lastError.clear();
      state = self->pendingState ? self->pendingState : self->lastState;
      if (self->pendingState) self->lastState = std::move(self->pendingState);
      self->pendingState.reset();
    }
    if (report) report("connected to the MQTT broker " + self->settings.broker.ToString());
    self->Publish(self->statusTopic, kOnline, 1, true);
    mosquitto_subscribe(self->mosq, nullptr, kDiscoveryStatusTopic, 0);
    self->Publish(self->discoveryTopic, self->discovery, 0, false);
    if (state) self->Publish(self->stateTopic, *state, 0, false);
  }

  static void OnMessage(mosquitto*, void* obj, const mosquitto_message* m) {
    auto* self = static_cast<Impl*>(obj);
    if (!m->topic || std::strcmp(m->topic, kDiscoveryStatusTopic) != 0) return;
    std::string_view payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
    if (payload != kOnline) return;
    // The home automation system (re)started: it needs the device again.
    self->Publish(self->discoveryTopic, self->discovery, 0, false);
    std::optional<std::string> state;
    {
      std::lock_guard lock(self->mutex);
      state = self->lastState;
    }
    if (state) self->Publish(self->stateTopic, *state, 0, false);
  }

  bool Stopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  void SendPending() {
    std::optional<std::string> state;
    {
      std::lock_guard lock(mutex);
      if (!pendingState) return;
      state = std::move(pendingState);
      pendingState.reset();
      lastState = state;
    }
    Publish(stateTopic, *state, 0, false);
  }

  // Clean stop: "offline" replaces the retained "online", then DISCONNECT
  // (after which the broker does not send the Will).
  void SayGoodbye() {
    Publish(statusTopic, kOffline, 1, true);
    mosquitto_disconnect(mosq);
    auto until = std::chrono::steady_clock::now() + kStopFlush;
    while (std::chrono::steady_clock::now() < until) {
      if (mosquitto_loop(mosq, kLoopMillis, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }

  void Run() {
    const std::string url = settings.broker.ToString();
    unsigned pause = std::max(1u, settings.reconnectMinSeconds);
    bool everConnected = false;
    while (!Stopping()) {
      connection = Connection::Connecting;
      connackSeen = false;
      int rc = everConnected ? mosquitto_reconnect(mosq)
                             : mosquitto_connect(mosq, settings.broker.host.c_str(), settings.broker.port,
                                                 kKeepAliveSeconds);
      if (rc != MOSQ_ERR_SUCCESS) {
        Trouble("cannot connect to the MQTT broker " + url + ": " + ErrorText(rc));
      } else {
        everConnected = true;
        while (!Stopping()) {
          SendPending();
          rc = mosquitto_loop(mosq, kLoopMillis, 1);
          if (rc != MOSQ_ERR_SUCCESS) break;
        }
        if (Stopping()) {
          if (connection == Connection::Connected) SayGoodbye();
          break;
        }
        if (connection == Connection::Connected)
          Trouble("lost the connection to the MQTT broker " + url + ": " + ErrorText(rc));
        if (connackSeen) pause = std::max(1u, settings.reconnectMinSeconds);
      }
      if (connection != Connection::Refused) connection = Connection::Connecting;
      std::unique_lock lock(mutex);
      wake.wait_for(lock, std::chrono::seconds(pause), [&] { return stopping; });
      pause = std::min(pause * 2, std::max(pause, settings.reconnectMaxSeconds));
    }
    connection = Connection::Stopped;
    mosquitto_destroy(mosq);
    mosq = nullptr;
    std::lock_guard lock(mutex);
    finished = true;
    wake.notify_all();
  }
};

MqttPublisher::MqttPublisher(MqttSettings settings, std::string sensorName, std::string serial) {
  auto impl = std::make_shared<Impl>();
  impl->settings = std::move(settings);
  impl->name = std::move(sensorName);
  impl->serial = std::move(serial);
  impl->id = TopicId(impl->serial);
  impl_ = std::move(impl);
}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Start(std::string& error) {
  Impl& d = *impl_;
  if (d.connection != Connection::Stopped || thread_.joinable()) {
    error = "the MQTT connection is already running";
    return false;
  }
  if (!ValidPrefix(d.settings.prefix, error)) return false;
  if (d.settings.broker.host.empty()) {
    error = "no MQTT broker given";
    return false;
  }
  std::string password;
  if (!d.settings.passwordFile.empty()) {
    if (d.settings.user.empty()) {
      error = "--mqtt-password-file needs --mqtt-user";
      return false;
    }
    std::ifstream in(d.settings.passwordFile);
    if (!in || !std::getline(in, password)) {
      error = "cannot read the MQTT password file " + d.settings.passwordFile.string() + ": " +
              (in.bad() || !in.is_open() ? std::strerror(errno) : "it is empty");
      return false;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  d.stateTopic = StateTopic(d.settings.prefix, d.id);
  d.statusTopic = StatusTopic(d.settings.prefix, d.id);
  d.discoveryTopic = DiscoveryTopic(d.id);
  DiscoveryInfo info;
  info.prefix = d.settings.prefix;
  info.id = d.id;
  info.name = d.name;
  info.serial = d.serial;
  info.readingIntervalSeconds = d.settings.readingIntervalSeconds;
  info.softwareVersion = d.settings.softwareVersion;
  d.discovery = DiscoveryJson(info);

  InitLibrary();
  const std::string clientId = "km7-" + d.id + "-" + std::to_string(getpid());
  d.mosq = mosquitto_new(clientId.c_str(), true, &d);
  if (!d.mosq) {
    Wipe(password);
    error = "cannot create the MQTT client: " + std::string(std::strerror(errno));
    return false;
  }
  auto fail = [&](const std::string& what, int rc) {
    Wipe(password);
    error = what + ": " + ErrorText(rc);
    mosquitto_destroy(d.mosq);
    d.mosq = nullptr;
    return false;
  };
  int rc = mosquitto_int_option(d.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (rc != MOSQ_ERR_SUCCESS) return fail("cannot set the MQTT protocol version", rc);
  if (!d.settings.user.empty()) {
    rc = mosquitto_username_pw_set(d.mosq, d.settings.user.c_str(),
                                   d.settings.passwordFile.empty() ? nullptr : password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) return fail("cannot use the MQTT user name", rc);
  }
  Wipe(password);
  rc = mosquitto_will_set(d.mosq, d.statusTopic.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline, 1, true);
  if (rc != MOSQ_ERR_SUCCESS) return fail("cannot set the MQTT will", rc);
  if (d.settings.broker.tls) {
    if (d.settings.cafile.empty()) {
      rc = mosquitto_int_option(d.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    } else {
      if (::access(d.settings.cafile.c_str(), R_OK) != 0)
        return fail("cannot read the MQTT CA file " + d.settings.cafile.string(), MOSQ_ERR_ERRNO);
      rc = mosquitto_tls_set(d.mosq, d.settings.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(d.mosq, 1, "tlsv1.2", nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return fail("cannot set up TLS for MQTT", rc);
  }
  mosquitto_connect_callback_set(d.mosq, &Impl::OnConnect);
  mosquitto_message_callback_set(d.mosq, &Impl::OnMessage);
  {
    std::lock_guard lock(d.mutex);
    d.stopping = false;
    d.finished = false;
  }
  d.connection = Connection::Connecting;
  thread_ = std::thread([impl = impl_] { impl->Run(); });
  error.clear();
  return true;
}

void MqttPublisher::PublishState(const status::SensorSnapshot& sensor) {
  std::string json = StateJson(sensor);
  std::lock_guard lock(impl_->mutex);
  impl_->pendingState = std::move(json);
}

void MqttPublisher::Stop() {
  if (!thread_.joinable()) return;
  std::unique_lock lock(impl_->mutex);
  impl_->stopping = true;
  impl_->wake.notify_all();
  bool done = impl_->wake.wait_for(lock, kStopJoin, [&] { return impl_->finished; });
  lock.unlock();
  // A thread stuck in a connect to an unreachable host keeps its own
  // reference to the state and ends by itself.
  if (done)
    thread_.join();
  else
    thread_.detach();
}

Connection MqttPublisher::connection() const { return impl_->connection; }

std::string MqttPublisher::LastError() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->lastError;
}

std::string MqttPublisher::id() const { return impl_->id; }

}  // namespace km7::mqtt
