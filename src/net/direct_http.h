#pragma once
// Download requests over our own sockets, for plain-HTTP servers the machine reaches without a proxy. Under Wine,
// WinHTTP receives about 8 KiB per socket read, each with round trips to the Wine server, and spends six times the
// CPU of reading up to 1 MiB at a time, which caps a download well below the network. HTTPS, proxies and
// redirects stay with WinHTTP.

#include <cstdint>
#include <string>

#include "base/unique_handle.h"
#include "net/http_head.h"
#include "net/part_map.h"

namespace pl::net {

struct SocketTraits {
  using Type = uintptr_t;  // SOCKET
  static Type Invalid() noexcept { return ~Type{0}; }
  static void Close(Type socket) noexcept;
};
using UniqueSocket = base::UniqueHandle<SocketTraits>;

struct DirectTarget {
  std::wstring hostName;  // for name resolution
  std::wstring port;      // decimal
  std::string host;       // the Host header: the name, with ":port" unless it is 80
  std::string path;       // with the query
};
// False unless `url` is plain http whose host and path are printable ASCII: anything else stays with WinHTTP.
bool DirectTargetOf(const std::wstring& url, DirectTarget* target);

// Asks the machine's proxy settings (WinHTTP's default, the user's, detection) about `url`; false in doubt.
bool MachineGoesDirect(const std::wstring& url);

struct DirectConnection {
  UniqueSocket socket;
  std::string pending;         // bytes received after the head, not yet handed out (still framed when chunked)
  uint64_t bodyLeft = 0;       // of the current response; UINT64_MAX when it runs to the connection's end
  bool keepAlive = false;      // the server keeps the connection after the current response
  bool chunked = false;        // the current body comes in chunks, decoded by `decoder`
  ChunkedDecoder decoder;
};

// Sends `request` (RangeRequestText, StreamRequestText) and reads the response head, on the connection's socket
// when the last response was read to its end on a kept-alive connection, otherwise on a new one; a kept connection
// the server has closed meanwhile is replaced once. Waits at most `timeoutMs` for each send and receive, and
// `headWithinMs` (0: no limit) for the whole head. On failure `error` says why and the connection holds no socket.
bool DirectRequest(const DirectTarget& target, const std::string& request, uint32_t timeoutMs, uint32_t headWithinMs,
                   DirectConnection* conn, ResponseHead* head, std::string* error);
// Up to `size` bytes of the current body (decoded when chunked): their number, 0 once the body or the connection
// ended, -1 on a socket error or a chunked body that is malformed or ends before its last chunk (`error`).
int64_t DirectRead(DirectConnection* conn, char* buffer, size_t size, std::string* error);

}  // namespace pl::net
