#include "can_socket.h"

#include <linux/can/raw.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace rawcan::bridge {
namespace {

constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;  // a burst waits here, not in the void

std::string failure(const char* interface, const char* what) {
  return std::string(interface) + ": " + what;
}

}  // namespace

CanSocket CanSocket::open(const char* interface, std::string& error) {
  if (interface[0] == '\0') {
    error = "\"\": no such interface (the name is empty)";
    return CanSocket(-1, interface);
  }
  if (std::strlen(interface) >= IFNAMSIZ) {
    error = failure(interface, "no such interface (names have at most 15 characters)");
    return CanSocket(-1, interface);
  }
  const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) {
    error =
        failure(interface, errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT
                               ? "this system has no CAN support (load the can and can-raw modules)"
                               : std::strerror(errno));
    return CanSocket(-1, interface);
  }
  ifreq request{};
  std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
  if (::ioctl(fd, SIOCGIFINDEX, &request) != 0) {
    error = failure(interface, errno == ENODEV ? "no such interface" : std::strerror(errno));
    ::close(fd);
    return CanSocket(-1, interface);
  }
  const int index = request.ifr_ifindex;
  if (::ioctl(fd, SIOCGIFHWADDR, &request) != 0 || request.ifr_hwaddr.sa_family != ARPHRD_CAN) {
    error = failure(interface, "not a CAN interface");
    ::close(fd);
    return CanSocket(-1, interface);
  }
  // Room for bursts (beyond net.core.rmem_max only as root), and the count of
  // what is dropped all the same.
  int size = kReceiveBufferBytes;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  // Error frames reach only sockets that ask for them: the bridge takes them
  // to refuse and count them like remote requests.
  const can_err_mask_t errors = CAN_ERR_MASK;
  ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors);
  // CAN FD frames reach only sockets that ask for them too: taken, they are
  // refused and counted instead of passing unseen (a kernel without CAN FD
  // has none to send).
  ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = index;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = failure(interface, std::strerror(errno));
    ::close(fd);
    return CanSocket(-1, interface);
  }
  return CanSocket(fd, interface, index);
}

CanSocket::CanSocket(CanSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      name_(std::move(other.name_)),
      index_(other.index_),
      gone_(other.gone_),
      last_drop_count_(other.last_drop_count_),
      kernel_drops_(other.kernel_drops_),
      meminfo_(other.meminfo_) {}

CanSocket::~CanSocket() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

int CanSocket::read(can_frame& frame) {
  canfd_frame received{};
  iovec data{&received, sizeof received};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t size = ::recvmsg(fd_, &message, 0);
  if (size < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  }
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL && !meminfo_) {
      uint32_t count = 0;
      std::memcpy(&count, CMSG_DATA(header), sizeof count);
      kernel_drops_ += count - last_drop_count_;  // the kernel's count wraps at 2^32
      last_drop_count_ = count;
    }
  }
  if (size == CANFD_MTU) {
    return kFdFrame;
  }
  if (size != CAN_MTU) {
    errno = EPROTO;  // neither a classic nor a CAN FD frame
    return -1;
  }
  std::memcpy(&frame, &received, sizeof frame);
  return 1;
}

int CanSocket::write(const can_frame& frame) {
  const ssize_t written = ::write(fd_, &frame, sizeof frame);
  if (written == static_cast<ssize_t>(sizeof frame)) {
    return 1;
  }
  if (written < 0 &&
      (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR)) {
    return 0;
  }
  if (written >= 0) {
    errno = EIO;
  }
  return -1;
}

uint64_t CanSocket::kernel_drops() {
  // The count now, also while the bridge reads nothing: a frame read carries
  // the count from when it was queued, so drops after the last one queued
  // would otherwise go untold.
  uint32_t meminfo[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof meminfo;
  if (::getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, meminfo, &size) == 0 &&
      size > SK_MEMINFO_DROPS * sizeof(uint32_t)) {
    meminfo_ = true;
    kernel_drops_ += meminfo[SK_MEMINFO_DROPS] - last_drop_count_;
    last_drop_count_ = meminfo[SK_MEMINFO_DROPS];
  }
  return kernel_drops_;
}

bool CanSocket::interface_up() {
  ifreq request{};
  std::strncpy(request.ifr_name, name_.c_str(), IFNAMSIZ - 1);
  if (::ioctl(fd_, SIOCGIFINDEX, &request) != 0) {
    gone_ = true;  // deleted: the kernel unbound this socket
    return false;
  }
  gone_ = false;
  if (request.ifr_ifindex != index_) {
    // Made again under the same name: a new index, and this socket is bound to
    // none, with no filter left (the kernel dropped it with the old one).
    const can_filter all{0, 0};
    if (::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FILTER, &all, sizeof all) != 0) {
      return false;
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = request.ifr_ifindex;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return false;
    }
    index_ = request.ifr_ifindex;
  }
  return ::ioctl(fd_, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0;
}

}  // namespace rawcan::bridge
