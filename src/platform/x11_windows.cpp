#include "platform/x11_windows.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "platform/environment.hpp"
#include "platform/fd.hpp"
#include "platform/process_scan.hpp"
#include "platform/unix_sockets.hpp"
#include "platform/x11_authority.hpp"

namespace qv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Titles longer than this many bytes are cut; a cut title never equals a
// short one, which is all the launcher compares titles with.
constexpr std::uint32_t kMaxTitleLongs = 512;
constexpr std::uint32_t kMaxClientListLongs = 1 << 16;
constexpr std::uint32_t kMaxProtocolLongs = 64;
constexpr int kFirstTcpPort = 6000;
constexpr xcb_atom_t kNoAtom = XCB_ATOM_NONE;
constexpr auto kBusyQueueRetry = std::chrono::milliseconds(10);
constexpr const char* kAuthorityFile = ".Xauthority";

constexpr const char* kNoDisplay = "no X display is named";
constexpr const char* kUnreadableDisplay = "X display name not understood: {}";
constexpr const char* kCannotResolve = "cannot resolve the X display's host: {}";
constexpr const char* kCannotConnect = "cannot connect to the X display {}";
constexpr const char* kConnectionFailed = "the X connection failed";
constexpr const char* kDeadlinePassed = "the X server did not answer within {} ms";
constexpr const char* kScanFailed = "window scan failed";

template <class T>
struct FreeReply {
  void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

// Takes the reply of a request; an X error (a window destroyed meanwhile, the
// usual race) is dropped and yields no reply.
template <class T, class Cookie, class Fetch>
Reply<T> take(xcb_connection_t* c, Fetch fetch, Cookie cookie) {
  xcb_generic_error_t* error = nullptr;
  Reply<T> reply(fetch(c, cookie, &error));
  std::free(error);
  return reply;
}

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, INT32_MAX)) : 0;
}

struct DisplayAddress {
  std::string host;  // empty: a local socket
  int number = 0;
};

Result<DisplayAddress> parse_display(const std::string& name) {
  if (name.empty()) return fail(kNoDisplay);
  char* host = nullptr;
  int number = 0;
  int screen = 0;
  if (xcb_parse_display(name.c_str(), &host, &number, &screen) == 0) {
    return fail(fmt::format(fmt::runtime(kUnreadableDisplay), name));
  }
  DisplayAddress address;
  address.host = host != nullptr ? host : "";
  std::free(host);
  if (address.host == "unix") address.host.clear();
  address.number = number;
  return address;
}

// Connects a non-blocking socket, waiting for a connection in progress until
// `deadline`.
Status connect_before(int fd, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
  for (;;) {
    if (::connect(fd, address, length) == 0) return {};
    if (errno == EINPROGRESS || errno == EINTR) break;
    // A local server's queue of connections is full: try again shortly.
    if (errno != EAGAIN) return fail_os(errno);
    if (Clock::now() >= deadline) return fail_os(ETIMEDOUT);
    std::this_thread::sleep_for(kBusyQueueRetry);
  }
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    const int rc = ::poll(&p, 1, ms_until(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return fail_os(errno);
    if (rc == 0) return fail_os(ETIMEDOUT);
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return fail_os(errno);
    if (error != 0) return fail_os(error);
    return {};
  }
}

Result<UniqueFd> connect_local(int number, Clock::time_point deadline) {
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  Error last = Error::os(ENOENT);
  // A server on this machine listens under an abstract name and at the
  // file; the abstract name first, as a dead server cannot leave it behind.
  for (const std::size_t offset : {1, 0}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (offset + path.size() >= sizeof address.sun_path) return fail_os(ENAMETOOLONG);
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return fail_os(errno);
    auto connected = connect_before(fd.get(), reinterpret_cast<const sockaddr*>(&address), length, deadline);
    if (connected) return fd;
    last = connected.error();
  }
  return fail(last);
}

Result<UniqueFd> connect_tcp(const std::string& host, int number, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(kFirstTcpPort + number);
  if (int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    return fail(fmt::format(fmt::runtime(kCannotResolve), ::gai_strerror(rc)));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
  Error last = Error::os(ECONNREFUSED);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (!fd) {
      last = Error::os(errno);
      continue;
    }
    auto connected = connect_before(fd.get(), a->ai_addr, a->ai_addrlen, deadline);
    if (connected) return fd;
    last = connected.error();
  }
  return fail(last);
}

// The cookie for the server at the other end of `fd`, found as X clients
// find it: by the server's address (this machine's name for a local or
// loopback server) and the display number. Nothing when there is none; the
// server may still let the connection in.
std::optional<XCookie> find_authorization(int fd, const XDisplay& display, int number, Clock::time_point deadline) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return std::nullopt;
  std::uint16_t family = kAuthorityLocal;
  std::string address;
  if (peer.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
    if (in.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
      family = kAuthorityInternet;
      address.assign(reinterpret_cast<const char*>(&in.sin_addr), sizeof in.sin_addr);
    }
  } else if (peer.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
    const auto* bytes = reinterpret_cast<const char*>(&in6.sin6_addr);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
      in_addr v4{};
      std::memcpy(&v4, bytes + 12, sizeof v4);
      if (v4.s_addr != htonl(INADDR_LOOPBACK)) {
        family = kAuthorityInternet;
        address.assign(bytes + 12, sizeof v4);
      }
    } else if (!IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr)) {
      family = kAuthorityInternet6;
      address.assign(bytes, sizeof in6.sin6_addr);
    }
  } else if (peer.ss_family != AF_UNIX) {
    return std::nullopt;
  }
  if (family == kAuthorityLocal) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return std::nullopt;
    address = name;
  }
  return find_x_cookie(display.authority, family, address, std::to_string(number), deadline);
}

// WM_NAME of type STRING is Latin-1; other encodings pass unchanged (they
// never equal an ASCII title unless they are one).
std::string title_from_wm_name(const xcb_get_property_reply_t& reply) {
  const auto* data = static_cast<const unsigned char*>(xcb_get_property_value(&reply));
  const auto length = static_cast<std::size_t>(xcb_get_property_value_length(&reply));
  std::string text;
  if (reply.type != XCB_ATOM_STRING) return std::string(reinterpret_cast<const char*>(data), length);
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = data[i];
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

// One connection's conversation: the atoms it needs, the windows, their
// titles and owners, and close requests. Every request is sent before the
// first reply is awaited, so a scan takes a few round trips however many
// windows there are.
class Session {
 public:
  explicit Session(xcb_connection_t* c) : c_(c) {}

  Status open() {
    const char* names[] = {"_NET_CLIENT_LIST", "_NET_WM_NAME", "UTF8_STRING", "WM_PROTOCOLS", "WM_DELETE_WINDOW"};
    xcb_atom_t* atoms[] = {&client_list_, &net_wm_name_, &utf8_string_, &wm_protocols_, &wm_delete_window_};
    xcb_intern_atom_cookie_t cookies[std::size(names)];
    for (std::size_t i = 0; i < std::size(names); ++i) {
      cookies[i] = xcb_intern_atom(c_, 1, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    }
    const xcb_query_extension_reply_t* resource = xcb_get_extension_data(c_, &xcb_res_id);
    xcb_res_query_version_cookie_t version{};
    if (resource != nullptr && resource->present != 0) version = xcb_res_query_version(c_, 1, 2);
    for (std::size_t i = 0; i < std::size(names); ++i) {
      auto reply = take<xcb_intern_atom_reply_t>(c_, xcb_intern_atom_reply, cookies[i]);
      *atoms[i] = reply ? reply->atom : kNoAtom;
    }
    if (version.sequence != 0) {
      // Client ids by process came with version 1.2.
      auto reply = take<xcb_res_query_version_reply_t>(c_, xcb_res_query_version_reply, version);
      owners_known_ = reply && (reply->server_major > 1 || (reply->server_major == 1 && reply->server_minor >= 2));
    }
    return check();
  }

  Result<std::vector<TopLevelWindow>> top_level_windows() {
    std::vector<TopLevelWindow> all;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c_)); it.rem > 0; xcb_screen_next(&it)) {
      const xcb_window_t root = it.data->root;
      // A window manager that was killed leaves its list behind, naming
      // windows long gone: then the root's children are the top level.
      std::vector<TopLevelWindow> found = describe(client_list(root));
      if (found.empty()) found = describe(children(root));
      QV_TRY(check());
      std::move(found.begin(), found.end(), std::back_inserter(all));
    }
    if (owners_known_) assign_owners(all);
    QV_TRY(check());
    return all;
  }

  Result<std::size_t> close_windows_of(std::uint32_t pid) {
    const auto windows = QV_TRY(top_level_windows());
    if (wm_protocols_ == kNoAtom || wm_delete_window_ == kNoAtom) return 0;
    std::vector<std::pair<xcb_window_t, xcb_get_property_cookie_t>> mine;
    for (const auto& window : windows) {
      if (window.owner_pid != pid) continue;
      const auto id = static_cast<xcb_window_t>(window.id);
      mine.emplace_back(id, xcb_get_property(c_, 0, id, wm_protocols_, XCB_ATOM_ATOM, 0, kMaxProtocolLongs));
    }
    std::size_t asked = 0;
    for (const auto& [id, cookie] : mine) {
      auto reply = take<xcb_get_property_reply_t>(c_, xcb_get_property_reply, cookie);
      if (!reply || reply->type != XCB_ATOM_ATOM || reply->format != 32) continue;
      const auto* protocols = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
      const auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) / sizeof(xcb_atom_t);
      if (std::find(protocols, protocols + count, wm_delete_window_) == protocols + count) continue;
      xcb_client_message_event_t event{};
      event.response_type = XCB_CLIENT_MESSAGE;
      event.format = 32;
      event.window = id;
      event.type = wm_protocols_;
      event.data.data32[0] = wm_delete_window_;
      event.data.data32[1] = XCB_CURRENT_TIME;
      xcb_send_event(c_, 0, id, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
      ++asked;
    }
    // Once this round trip is answered, the server has handled every request
    // sent before it.
    take<xcb_get_input_focus_reply_t>(c_, xcb_get_input_focus_reply, xcb_get_input_focus(c_));
    QV_TRY(check());
    return asked;
  }

 private:
  Status check() const {
    if (xcb_connection_has_error(c_) != 0) return fail(kConnectionFailed);
    return {};
  }

  std::vector<xcb_window_t> client_list(xcb_window_t root) {
    if (client_list_ == kNoAtom) return {};
    auto reply = take<xcb_get_property_reply_t>(
        c_, xcb_get_property_reply, xcb_get_property(c_, 0, root, client_list_, XCB_ATOM_WINDOW, 0, kMaxClientListLongs));
    if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32) return {};
    const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    return std::vector<xcb_window_t>(ids, ids + xcb_get_property_value_length(reply.get()) / 4);
  }

  std::vector<xcb_window_t> children(xcb_window_t root) {
    auto reply = take<xcb_query_tree_reply_t>(c_, xcb_query_tree_reply, xcb_query_tree(c_, root));
    if (!reply) return {};
    const xcb_window_t* ids = xcb_query_tree_children(reply.get());
    return std::vector<xcb_window_t>(ids, ids + xcb_query_tree_children_length(reply.get()));
  }

  // The live windows among `ids` with their titles; a window destroyed
  // meanwhile is left out.
  std::vector<TopLevelWindow> describe(const std::vector<xcb_window_t>& ids) {
    struct Pending {
      xcb_window_t id;
      xcb_get_property_cookie_t net_name;
      xcb_get_property_cookie_t wm_name;
    };
    std::vector<Pending> pending;
    pending.reserve(ids.size());
    for (const xcb_window_t id : ids) {
      Pending p{id, {}, {}};
      if (net_wm_name_ != kNoAtom) {
        p.net_name = xcb_get_property(c_, 0, id, net_wm_name_, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxTitleLongs);
      }
      p.wm_name = xcb_get_property(c_, 0, id, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxTitleLongs);
      pending.push_back(p);
    }
    std::vector<TopLevelWindow> windows;
    for (const auto& p : pending) {
      Reply<xcb_get_property_reply_t> net;
      if (p.net_name.sequence != 0) net = take<xcb_get_property_reply_t>(c_, xcb_get_property_reply, p.net_name);
      auto wm = take<xcb_get_property_reply_t>(c_, xcb_get_property_reply, p.wm_name);
      if (!wm) continue;
      TopLevelWindow window;
      window.id = p.id;
      if (net && net->format == 8 && net->type == utf8_string_ && utf8_string_ != kNoAtom) {
        window.title.assign(static_cast<const char*>(xcb_get_property_value(net.get())),
                            static_cast<std::size_t>(xcb_get_property_value_length(net.get())));
      } else if (wm->format == 8) {
        window.title = title_from_wm_name(*wm);
      }
      windows.push_back(std::move(window));
    }
    return windows;
  }

  // The process behind each window's connection. A window id carries the id
  // of the client that created it in the bits outside the resource mask; the
  // server answers for every client at once. The server counts processes in
  // its own pid namespace: unless it names this process by this process's own
  // id, its ids mean other processes here, and no owner is known. A process
  // the server names is the owner only while it holds the connections the
  // server attributes to it (see the header).
  void assign_owners(std::vector<TopLevelWindow>& windows) {
    const xcb_setup_t* setup = xcb_get_setup(c_);
    const std::uint32_t mask = setup->resource_id_mask;
    const std::uint32_t self = setup->resource_id_base & ~mask;
    // Client 0 asks for every client.
    const xcb_res_client_id_spec_t every{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto reply = take<xcb_res_query_client_ids_reply_t>(c_, xcb_res_query_client_ids_reply,
                                                        xcb_res_query_client_ids(c_, 1, &every));
    if (!reply) return;
    std::unordered_map<std::uint32_t, std::uint32_t> pid_of_client;
    std::unordered_map<std::uint32_t, std::size_t> clients_of_pid;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0; xcb_res_client_id_value_next(&it)) {
      const xcb_res_client_id_value_t* value = it.data;
      if ((value->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) == 0) continue;
      if (xcb_res_client_id_value_value_length(value) < 1) continue;
      const std::uint32_t pid = xcb_res_client_id_value_value(value)[0];
      pid_of_client[value->spec.client & ~mask] = pid;
      ++clients_of_pid[pid];
    }
    const auto own = pid_of_client.find(self);
    if (own == pid_of_client.end() || own->second != static_cast<std::uint32_t>(::getpid())) return;
    const auto connections = server_connections();
    if (!connections) return;
    std::unordered_map<std::uint32_t, bool> holds;
    for (auto& window : windows) {
      const auto found = pid_of_client.find(static_cast<std::uint32_t>(window.id) & ~mask);
      if (found == pid_of_client.end() || found->second == 0) continue;
      const std::uint32_t pid = found->second;
      auto [held, inserted] = holds.try_emplace(pid, false);
      if (inserted) held->second = holds_connections(pid, *connections, clients_of_pid[pid]);
      if (held->second) window.owner_pid = pid;
    }
  }

  // The client ends of every connection to this session's server: the peers
  // of the sockets bound to the address that this session's own connection
  // reached. A server listens under an abstract name and at a path of the
  // same spelling; both count. Nothing when the connection is not a local
  // socket or the kernel does not tell.
  std::optional<std::unordered_set<std::uint64_t>> server_connections() {
    struct stat own {};
    if (::fstat(xcb_get_file_descriptor(c_), &own) != 0 || !S_ISSOCK(own.st_mode)) return std::nullopt;
    auto links = list_connected_unix_sockets();
    if (!links) return std::nullopt;
    std::unordered_map<std::uint64_t, const UnixSocketLink*> by_inode;
    for (const auto& link : *links) by_inode.emplace(link.inode, &link);
    const auto mine = by_inode.find(own.st_ino);
    if (mine == by_inode.end()) return std::nullopt;
    const auto server_end = by_inode.find(mine->second->peer);
    if (server_end == by_inode.end() || server_end->second->name.empty()) return std::nullopt;
    const std::string& name = server_end->second->name;
    const std::string other_spelling = name.front() == '\0' ? name.substr(1) : std::string(1, '\0') + name;
    std::unordered_set<std::uint64_t> clients;
    for (const auto& link : *links) {
      if (link.name == name || link.name == other_spelling) clients.insert(link.peer);
    }
    return clients;
  }

  // True when process `pid` holds at least `attributed` distinct connections
  // among `connections`.
  static bool holds_connections(std::uint32_t pid, const std::unordered_set<std::uint64_t>& connections,
                                std::size_t attributed) {
    auto sockets = read_socket_inodes(pid);
    if (!sockets) return false;
    std::unordered_set<std::uint64_t> held;
    for (const std::uint64_t inode : *sockets) {
      if (connections.contains(inode)) held.insert(inode);
    }
    return attributed > 0 && held.size() >= attributed;
  }

  xcb_connection_t* c_;
  bool owners_known_ = false;
  xcb_atom_t client_list_ = kNoAtom;
  xcb_atom_t net_wm_name_ = kNoAtom;
  xcb_atom_t utf8_string_ = kNoAtom;
  xcb_atom_t wm_protocols_ = kNoAtom;
  xcb_atom_t wm_delete_window_ = kNoAtom;
};

// What a conversation is asked for and what it found.
struct Request {
  XDisplay display;
  std::optional<std::uint32_t> close_pid;  // ask this process's windows to close; otherwise list
};
struct Findings {
  std::vector<TopLevelWindow> windows;
  std::size_t asked = 0;
};

// Shared by the caller and the conversation's thread, which may outlive the
// call once its deadline has passed.
struct Shared {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  // A descriptor of the connection's socket, owned by the thread, while it
  // talks: the caller shuts the socket down through it at the deadline. Its
  // own descriptor, so that it is never a number the X library has closed
  // and something else has reused.
  int socket = -1;
  Result<Findings> result = fail(kScanFailed);
};

struct Disconnect {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

Result<Findings> talk(Shared& shared, const Request& request, Clock::time_point deadline) {
  const DisplayAddress address = QV_TRY(parse_display(request.display.name));
  auto connected = address.host.empty() ? connect_local(address.number, deadline)
                                        : connect_tcp(address.host, address.number, deadline);
  if (!connected) {
    return fail(connected.error().context(fmt::format(fmt::runtime(kCannotConnect), request.display.name)));
  }
  UniqueFd fd = std::move(*connected);
  UniqueFd watch(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!watch) return fail_os(errno);
  {
    std::lock_guard lock(shared.mutex);
    if (shared.abandoned) return fail(kConnectionFailed);
    shared.socket = watch.get();
  }
  struct Unpublish {
    Shared& shared;
    UniqueFd& watch;
    ~Unpublish() {
      std::lock_guard lock(shared.mutex);
      shared.socket = -1;
      watch.reset();
    }
  } unpublish{shared, watch};

  auto cookie = find_authorization(fd.get(), request.display, address.number, deadline);
  xcb_auth_info_t info{};
  if (cookie) {
    info.namelen = static_cast<int>(cookie->name.size());
    info.name = cookie->name.data();
    info.datalen = static_cast<int>(cookie->data.size());
    info.data = cookie->data.data();
  }
  // The library owns the descriptor from here, on every path.
  std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect_to_fd(fd.release(), cookie ? &info : nullptr));
  if (xcb_connection_has_error(connection.get()) != 0) return fail(kConnectionFailed);
  Session session(connection.get());
  QV_TRY(session.open());
  Findings findings;
  if (request.close_pid) {
    findings.asked = QV_TRY(session.close_windows_of(*request.close_pid));
  } else {
    findings.windows = QV_TRY(session.top_level_windows());
  }
  return findings;
}

void conversation_thread(std::shared_ptr<Shared> shared, Request request, Clock::time_point deadline) noexcept {
  // A write to a connection the server has dropped raises SIGPIPE; blocked
  // in this thread, the write fails instead, and the pending signal ends with
  // the thread.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  Result<Findings> result = fail(kScanFailed);
  try {
    result = talk(*shared, request, deadline);
  } catch (...) {
    result = fail(kScanFailed);
  }
  std::lock_guard lock(shared->mutex);
  shared->result = std::move(result);
  shared->done = true;
  shared->finished.notify_all();
}

Result<Findings> converse(Request request, std::chrono::milliseconds budget) {
  if (request.display.name.empty()) return fail(kNoDisplay);
  const auto deadline = Clock::now() + budget;
  auto shared = std::make_shared<Shared>();
  try {
    std::thread(conversation_thread, shared, std::move(request), deadline).detach();
  } catch (...) {
    return fail(kScanFailed);
  }
  std::unique_lock lock(shared->mutex);
  if (shared->finished.wait_until(lock, deadline, [&] { return shared->done; })) return std::move(shared->result);
  // Shutting the socket down ends every wait of the conversation at once; the
  // thread then finishes on its own, and nothing it found is used.
  shared->abandoned = true;
  if (shared->socket >= 0) ::shutdown(shared->socket, SHUT_RDWR);
  return fail(fmt::format(fmt::runtime(kDeadlinePassed), budget.count()));
}

}  // namespace

XDisplay display_from_environment(const std::map<std::string, std::string, std::less<>>& variables) {
  XDisplay display;
  if (auto name = variables.find("DISPLAY"); name != variables.end()) display.name = name->second;
  // As X clients do: XAUTHORITY when set (even empty, which names no file),
  // else the file in the home folder.
  if (auto file = variables.find("XAUTHORITY"); file != variables.end()) {
    display.authority = file->second;
  } else if (auto home = variables.find("HOME"); home != variables.end() && !home->second.empty()) {
    display.authority = std::filesystem::path(home->second) / kAuthorityFile;
  }
  return display;
}

XDisplay own_display() {
  std::map<std::string, std::string, std::less<>> variables;
  for (const std::string_view name : kDisplayVariables) {
    if (auto value = environment_variable(name)) variables.emplace(name, std::move(*value));
  }
  return display_from_environment(variables);
}

Result<std::vector<TopLevelWindow>> list_top_level_windows(std::chrono::milliseconds deadline) {
  auto findings = QV_TRY(converse(Request{own_display(), std::nullopt}, deadline));
  return std::move(findings.windows);
}

Result<std::size_t> request_close_of_process_windows(std::uint32_t pid, const XDisplay& display,
                                                     std::chrono::milliseconds deadline) {
  auto findings = QV_TRY(converse(Request{display, pid}, deadline));
  return findings.asked;
}

}  // namespace qv::platform
