#include "mqtt/MqttPublisher.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "mqtt/MqttModules.h"
#include "mqtt/MqttPassword.h"
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

std::string ClientId() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return "km7-" + TopicId(host) + "-" + std::to_string(::getpid());
}

}  // namespace

struct MqttPublisher::Impl {
  MqttSettings settings;
  std::string serviceStatusTopic, discoveryStatusTopic;
  mosquitto* mosq = nullptr;
  mosquitto_property* connectProperties = nullptr;
  bool v5 = true;

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool finished = false;
  ModuleTable modules;  // under mutex
  std::string lastError;
  std::string reportedTrouble;
  std::atomic<Connection> connection{Connection::Stopped};
  std::atomic<std::uint64_t> discoveries{0}, states{0};
  bool connackSeen = false;  // this connection was accepted
  int unacknowledged = 0;    // QoS 1 messages the broker has not confirmed
  bool greetingDue = false;  // "online" and the subscription, after a CONNACK
  std::string libraryError;  // the library's last error line (TLS details)

  ~Impl() { mosquitto_property_free_all(&connectProperties); }

  static void OnLog(mosquitto*, void* obj, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) && text) static_cast<Impl*>(obj)->libraryError = text;
  }

  std::string Why(int rc) {
    std::string why = ErrorText(rc);
    if (rc == MOSQ_ERR_TLS && !libraryError.empty()) why += " (" + libraryError + ")";
    libraryError.clear();
    return why;
  }

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

  void Send(const Outgoing& m) {
    const int rc = mosquitto_publish(mosq, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                     m.payload.data(), m.qos, m.retain);
    if (rc == MOSQ_ERR_SUCCESS && m.qos > 0) ++unacknowledged;
    if (m.kind == Outgoing::Kind::Discovery) ++discoveries;
    if (m.kind == Outgoing::Kind::State) ++states;
  }

  static void OnConnect(mosquitto*, void* obj, int rc) {
    auto* self = static_cast<Impl*>(obj);
    if (rc != 0) {
      self->connection = Connection::Refused;
      const bool badProtocol = rc == 1 || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
      if (badProtocol && self->v5) {
        // An older broker: without MQTT 5 it cannot be told the largest
        // packet the service takes.
        self->v5 = false;
        mosquitto_int_option(self->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        self->Trouble("the MQTT broker " + self->settings.broker.ToString() + " does not speak MQTT 5; using 3.1.1");
        return;
      }
      std::string text = "the MQTT broker " + self->settings.broker.ToString() +
                         " refused the connection: " + (rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
      if (rc == 4 || rc == 5 || rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED)
        text += " (check --mqtt-user and --mqtt-password-file)";
      self->Trouble(text);
      return;
    }
    self->connackSeen = true;
    self->unacknowledged = 0;
    self->connection = Connection::Connected;
    std::function<void(const std::string&)> report;
    {
      std::lock_guard lock(self->mutex);
      if (!self->reportedTrouble.empty()) report = self->settings.report;
      self->reportedTrouble.clear();
      self->lastError.clear();
      self->modules.Connected(std::chrono::steady_clock::now());
    }
    if (report) report("connected to the MQTT broker " + self->settings.broker.ToString());
    // Sent by the loop, outside the library's callback and its locks.
    self->greetingDue = true;
  }

  static void OnPublish(mosquitto*, void* obj, int) {
    auto* self = static_cast<Impl*>(obj);
    if (self->unacknowledged > 0) --self->unacknowledged;
  }

  static void OnMessage(mosquitto*, void* obj, const mosquitto_message* m) {
    auto* self = static_cast<Impl*>(obj);
    if (!m->topic || self->discoveryStatusTopic != m->topic) return;
    std::string_view payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
    if (payload != kOnline) return;
    // The home automation system (re)started: it needs the devices again.
    std::lock_guard lock(self->mutex);
    self->modules.RequestDiscovery();
  }

  bool Stopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  void SendDue() {
    if (greetingDue) {
      greetingDue = false;
      Send({serviceStatusTopic, kOnline, 1, true});
      mosquitto_subscribe(mosq, nullptr, discoveryStatusTopic.c_str(), 0);
    }
    std::vector<Outgoing> out;
    {
      std::lock_guard lock(mutex);
      out = modules.Due(std::chrono::steady_clock::now());
    }
    for (const Outgoing& m : out) Send(m);
  }

  // Clean stop: "offline" replaces the retained "online" of every module and
  // of the service, then DISCONNECT (after which the broker does not send
  // the Will).
  void SayGoodbye() {
    std::vector<Outgoing> out;
    {
      std::lock_guard lock(mutex);
      out = modules.Goodbye();
    }
    for (const Outgoing& m : out) Send(m);
    Send({serviceStatusTopic, kOffline, 1, true});
    // The broker confirms them before DISCONNECT, else some may be lost.
    const auto until = std::chrono::steady_clock::now() + kStopFlush;
    while (unacknowledged > 0 && std::chrono::steady_clock::now() < until) {
      if (mosquitto_loop(mosq, kLoopMillis / 4, 1) != MOSQ_ERR_SUCCESS) return;
    }
    mosquitto_disconnect(mosq);
    while (std::chrono::steady_clock::now() < until) {
      if (mosquitto_loop(mosq, kLoopMillis, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }

  int Connect() {
    if (!v5) return mosquitto_connect(mosq, settings.broker.host.c_str(), settings.broker.port, kKeepAliveSeconds);
    return mosquitto_connect_bind_v5(mosq, settings.broker.host.c_str(), settings.broker.port, kKeepAliveSeconds,
                                     nullptr, connectProperties);
  }

  void Run() {
    const std::string url = settings.broker.ToString();
    unsigned pause = std::max(1u, settings.reconnectMinSeconds);
    while (!Stopping()) {
      connection = Connection::Connecting;
      connackSeen = false;
      const bool wasV5 = v5;
      int rc = Connect();
      if (rc != MOSQ_ERR_SUCCESS) {
        Trouble("cannot connect to the MQTT broker " + url + ": " + Why(rc));
      } else {
        while (!Stopping()) {
          // Before the broker's answer nothing but the connect goes out.
          if (connection == Connection::Connected) SendDue();
          rc = mosquitto_loop(mosq, kLoopMillis, 1);
          if (rc != MOSQ_ERR_SUCCESS) break;
        }
        if (Stopping()) {
          if (connection == Connection::Connected) SayGoodbye();
          break;
        }
        if (wasV5 && !v5) continue;  // at once, with the older protocol
        if (connection == Connection::Connected)
          Trouble("lost the connection to the MQTT broker " + url + ": " + Why(rc));
        else if (connection == Connection::Connecting)  // e.g. the TLS handshake failed
          Trouble("cannot connect to the MQTT broker " + url + ": " + Why(rc));
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

  // Password, TLS, Will and the connect's properties; false with `error`.
  bool SetUp(std::string& password, std::string& error);
};

bool MqttPublisher::Impl::SetUp(std::string& password, std::string& error) {
  auto fail = [&](const std::string& what, int rc) {
    error = what + ": " + ErrorText(rc);
    return false;
  };
  int rc = mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  if (rc != MOSQ_ERR_SUCCESS) return fail("cannot set the MQTT protocol version", rc);
  rc = mosquitto_property_add_int32(&connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                    std::max<std::uint32_t>(settings.maxIncomingPacketBytes, 1024));
  if (rc != MOSQ_ERR_SUCCESS) return fail("cannot set the largest MQTT packet", rc);
  if (!settings.user.empty()) {
    rc = mosquitto_username_pw_set(mosq, settings.user.c_str(), settings.passwordFile.empty() ? nullptr : password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) return fail("cannot use the MQTT user name", rc);
  }
  Wipe(password);
  rc = mosquitto_will_set(mosq, serviceStatusTopic.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline, 1, true);
  if (rc != MOSQ_ERR_SUCCESS) return fail("cannot set the MQTT will", rc);
  if (settings.broker.tls) {
    if (settings.cafile.empty()) {
      rc = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    } else {
      if (::access(settings.cafile.c_str(), R_OK) != 0)
        return fail("cannot read the MQTT CA file " + settings.cafile.string(), MOSQ_ERR_ERRNO);
      rc = mosquitto_tls_set(mosq, settings.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(mosq, 1, "tlsv1.2", nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return fail("cannot set up TLS for MQTT", rc);
  }
  mosquitto_connect_callback_set(mosq, &Impl::OnConnect);
  mosquitto_message_callback_set(mosq, &Impl::OnMessage);
  mosquitto_publish_callback_set(mosq, &Impl::OnPublish);
  mosquitto_log_callback_set(mosq, &Impl::OnLog);
  return true;
}

MqttPublisher::MqttPublisher(MqttSettings settings) : impl_(std::make_shared<Impl>()) {
  impl_->settings = std::move(settings);
}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Start(std::string& error) {
  Impl& d = *impl_;
  if (d.connection != Connection::Stopped || thread_.joinable()) {
    error = "the MQTT connection is already running";
    return false;
  }
  if (!ValidPrefix(d.settings.prefix, error)) return false;
  if (!ValidPrefix(d.settings.discoveryPrefix, error)) return false;
  if (d.settings.broker.host.empty()) {
    error = "no MQTT broker given";
    return false;
  }
  std::vector<std::string> warnings;
  std::string password;
  if (!d.settings.passwordFile.empty()) {
    if (d.settings.user.empty()) {
      error = "--mqtt-password-file needs --mqtt-user";
      return false;
    }
    std::string warning;
    if (!ReadPasswordFile(d.settings.passwordFile, password, error, warning)) return false;
    if (!warning.empty()) warnings.push_back(warning);
    if (std::string w = ClearTextWarning(d.settings.broker); !w.empty()) warnings.push_back(w);
  }
  d.serviceStatusTopic = ServiceStatusTopic(d.settings.prefix);
  d.discoveryStatusTopic = DiscoveryStatusTopic(d.settings.discoveryPrefix);
  d.modules.Configure(d.settings);

  InitLibrary();
  d.mosq = mosquitto_new(ClientId().c_str(), true, &d);
  if (!d.mosq) {
    Wipe(password);
    error = "cannot create the MQTT client: " + std::string(std::strerror(errno));
    return false;
  }
  if (!d.SetUp(password, error)) {
    Wipe(password);
    mosquitto_destroy(d.mosq);
    d.mosq = nullptr;
    return false;
  }
  for (const std::string& w : warnings)
    if (d.settings.report) d.settings.report(w);
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
  std::lock_guard lock(impl_->mutex);
  impl_->modules.State(sensor);
}

void MqttPublisher::SetAvailable(const std::string& serial, bool available) {
  std::lock_guard lock(impl_->mutex);
  impl_->modules.Available(serial, available);
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

std::uint64_t MqttPublisher::DiscoveriesSent() const { return impl_->discoveries; }
std::uint64_t MqttPublisher::StatesSent() const { return impl_->states; }

}  // namespace km7::mqtt
