#pragma once
// A loopback HTTP server answering from a script, for the tests of our own connections (and of WinHTTP where it
// meets the same answers): per connection it accepts, the answers to its requests in order. Every request is kept
// as received.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "net/direct_http.h"

namespace pl::net {

struct Answer {
  std::string bytes;        // "%PORT%" stands for the server's port (for a Location)
  bool closeAfter = false;  // close the connection after sending
  bool silent = false;      // send nothing; wait for the client to go
};

struct ScriptedServer {
  explicit ScriptedServer(std::vector<std::vector<Answer>> script) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(listener.get(), 4), 0);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    thread = std::thread([this, script = std::move(script)] { Serve(script); });
  }
  ~ScriptedServer() {
    Stop();
    WSACleanup();
  }
  // Waits for the script to end; afterwards `requests` and `accepted` may be read.
  void Stop() {
    listener.reset();
    if (thread.joinable()) thread.join();
  }

  void Serve(const std::vector<std::vector<Answer>>& script) {
    for (const std::vector<Answer>& answers : script) {
      UniqueSocket client(accept(listener.get(), nullptr, nullptr));
      if (!client) return;
      ++accepted;
      bool open = true;
      for (size_t i = 0; open && i < answers.size(); ++i) {
        std::string request;
        char byte;
        while (request.find("\r\n\r\n") == std::string::npos && recv(client.get(), &byte, 1, 0) == 1) request += byte;
        requests.push_back(request);
        if (!answers[i].silent) {
          std::string bytes = answers[i].bytes;
          for (size_t at; (at = bytes.find("%PORT%")) != std::string::npos;) bytes.replace(at, 6, std::to_string(port));
          send(client.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
        }
        open = !answers[i].closeAfter;
      }
      // The client decides when a kept connection ends.
      char rest[256];
      while (open && recv(client.get(), rest, sizeof rest, 0) > 0) {
      }
    }
  }

  UniqueSocket listener;
  uint16_t port = 0;
  std::thread thread;
  std::vector<std::string> requests;  // read only after the client is done
  int accepted = 0;
};

}  // namespace pl::net
