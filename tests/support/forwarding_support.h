// What the forwarding tests stand on: Linux processes started from the test under
// Wine (a real rsyslogd as the collector, a Python HTTP receiver for the webhook),
// free ports on 127.0.0.1, and waiting on conditions.
//
// Wine runs a Linux executable given to CreateProcess as a Linux process of its own;
// the test starts each through /bin/sh (Z:\bin\sh -c "..."), which gives it a
// command line with redirections and the exec of a script. The processes' paths come
// from the environment (QUORVEL_RSYSLOGD, QUORVEL_PYTHON) or from the configure step,
// and so does the Linux folder the tests work in (QUORVEL_FORWARD_WORK). Where none
// of that works (on Windows itself, or without rsyslog), the tests that need it say
// why and are skipped.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Waits until `condition` holds, looking every 20 ms, for at most `ms`.
bool WaitUntil(const std::function<bool()>& condition, DWORD ms);

// A port nothing listens on now, on 127.0.0.1.
uint16_t FreeLocalPort(bool datagram);

// The Linux folder for this test's files ("" when there is none), and the path by
// which this Windows program reaches a Linux path (Wine's Z: drive).
std::string NewLinuxTestFolder();
std::string WindowsPathOf(const std::string& linuxPath);
// Removes a folder NewLinuxTestFolder made (a passed test's files are of no more use).
void RemoveLinuxTestFolder(const std::string& folder);
// Runs a shell command on the Linux side, not waiting for it; false when this is not Wine.
bool RunLinuxCommand(const std::string& command);
// A Linux program's path, from the environment variable or the configure step; ""
// when it is not there.
std::string LinuxProgram(const char* variable, const char* configured);

// The file's lines, without their line ends.
std::vector<std::string> ReadLines(const std::string& windowsPath);

// rsyslogd as the organisation's collector: a RELP, a TCP and a UDP input on free
// ports of 127.0.0.1, each writing the raw messages it receives, one a line, to a
// file of its own (relp.log, tcp.log, udp.log).
struct Collector {
    std::string folder;  // Linux path
    std::string why;     // why it could not start
    uint16_t relpPort = 0;
    uint16_t tcpPort = 0;
    uint16_t udpPort = 0;
    bool running = false;

    // Starts it (again, on the same ports); waits until its TCP inputs accept.
    bool Start();
    // Stops it and waits until it has gone.
    void Stop();
    std::vector<std::string> Lines(const char* input) const;
};

// The test HTTP receiver (tests/support/webhook_receiver.py): it answers each request
// with the next status of `statuses` (the last one repeats), and logs each request.
struct Receiver {
    std::string folder;
    std::string why;
    uint16_t port = 0;
    bool running = false;

    bool Start(const std::string& statuses);
    void Stop();
    // Each request: its status, content type and the body's string values by path
    // ("kind", "sections.0.facts.1.value"), or "invalid" when the body was not JSON.
    struct Request {
        int status = 0;
        std::string contentType;
        std::string method;  // POST, or GET
        bool valid = false;
        std::vector<std::pair<std::string, std::string>> values;
        std::string Value(const std::string& path) const;
    };
    std::vector<Request> Requests() const;
};

// The UTF-8 form of UTF-16 text, as the test expects it.
std::string Utf8Of(const std::wstring& text);

// A RELP collector written out in the test: it listens on 127.0.0.1 and runs the
// script on each connection in turn, with the connection's number (0, 1, ...).
struct ScriptedPeer {
    SOCKET listener = INVALID_SOCKET;
    uint16_t port = 0;
    std::thread thread;
    std::atomic<bool> stop{false};

    void Start(std::function<void(SOCKET connection, int number)> script);
    void Stop();
    ~ScriptedPeer() { Stop(); }
};

// The peer's side, blocking up to `ms`: one frame read as RELP writes it.
struct PeerFrame {
    unsigned txnr = 0;
    std::string command;
    std::string data;
};
bool PeerReadFrame(SOCKET connection, PeerFrame* frame, DWORD ms = 5000);
void PeerSend(SOCKET connection, const std::string& bytes);
// `bytes` sent a few at a time with pauses between, so that the reader sees them in pieces.
void PeerSendInPieces(SOCKET connection, const std::string& bytes, std::size_t piece);
// "TXNR rsp LEN 200 OK\n".
std::string PeerAnswer(unsigned txnr, const std::string& text);
