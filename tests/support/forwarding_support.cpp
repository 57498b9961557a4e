#include "support/forwarding_support.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/clock.h"
#include "engine/forward/relp_client.h"
#include "support/linux_program.h"

namespace {

std::string Environment(const char* name)
{
    std::array<char, 1024> value{};
    const DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    return length > 0 && length < value.size() ? std::string(value.data(), length) : std::string();
}

bool LinuxFileExists(const std::string& linuxPath)
{
    return !linuxPath.empty() && GetFileAttributesA(WindowsPathOf(linuxPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFirstLine(const std::string& windowsPath)
{
    std::ifstream in(windowsPath, std::ios::binary);
    std::string line;
    std::getline(in, line);
    return line;
}

bool AcceptsConnections(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SOCKET socket = INVALID_SOCKET;
    const bool accepted = ConnectCollector(address, false, 1000, &socket) == NetResult::Ok;
    CloseSocket(&socket);
    return accepted;
}

void KillByPidFile(const std::string& folder, const std::string& pidFile)
{
    const std::string pid = ReadFirstLine(WindowsPathOf(folder + "/" + pidFile));
    if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos)
        RunLinuxCommand("kill " + pid);
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD ms)
{
    const ULONGLONG deadline = PacingMillisecondsNow() + ms;
    for (;;) {
        if (condition())
            return true;
        if (PacingMillisecondsNow() >= deadline)
            return false;
        Sleep(20);
    }
}

uint16_t FreeLocalPort(bool datagram)
{
    StartSockets();
    SOCKET one = socket(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(one, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int size = sizeof address;
    getsockname(one, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(one);
    return ntohs(address.sin_port);
}

std::string WindowsPathOf(const std::string& linuxPath)
{
    std::string path = "Z:" + linuxPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string NewLinuxTestFolder()
{
    static std::atomic<int> serial{0};
    std::string root = Environment("QUORVEL_FORWARD_WORK");
#ifdef QUORVEL_FORWARD_WORK
    if (root.empty())
        root = QUORVEL_FORWARD_WORK;
#endif
    if (root.empty() || root[0] != '/')
        return {};
    CreateDirectoryA(WindowsPathOf(root).c_str(), nullptr);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Wine's process ids come round again from run to run: a folder of an earlier run
    // is never taken over, the next number is.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string folder = root + "/" + std::to_string(serial++) + "-" + std::to_string(GetCurrentProcessId()) +
                                   "-" + (info ? info->name() : "test");
        if (CreateDirectoryA(WindowsPathOf(folder).c_str(), nullptr))
            return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return {};
}

void RemoveLinuxTestFolder(const std::string& folder)
{
    const std::string root = Environment("QUORVEL_FORWARD_WORK");
#ifdef QUORVEL_FORWARD_WORK
    const std::string configured = QUORVEL_FORWARD_WORK;
#else
    const std::string configured;
#endif
    for (const std::string& base : {root, configured}) {
        if (!base.empty() && folder.size() > base.size() + 1 && folder.rfind(base + "/", 0) == 0 &&
            folder.find("..") == std::string::npos && folder.find(' ') == std::string::npos) {
            RunLinuxCommand("rm -rf " + folder);
            return;
        }
    }
}

bool RunLinuxCommand(const std::string& command)
{
    // Wine turns this command line into the Linux program's arguments: the command
    // must hold no double quote.
    return StartLinuxProgram("Z:\\bin\\sh", "sh -c \"" + command + "\"");
}

std::string LinuxProgram(const char* variable, const char* configured)
{
    std::string path = Environment(variable);
    if (path.empty() && configured)
        path = configured;
    return LinuxFileExists(path) ? path : std::string();
}

std::vector<std::string> ReadLines(const std::string& windowsPath)
{
    std::ifstream in(windowsPath, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool Collector::Start()
{
#ifdef QUORVEL_RSYSLOGD
    const std::string rsyslogd = LinuxProgram("QUORVEL_RSYSLOGD", QUORVEL_RSYSLOGD);
#else
    const std::string rsyslogd = LinuxProgram("QUORVEL_RSYSLOGD", nullptr);
#endif
    if (rsyslogd.empty()) {
        why = "no rsyslogd (set QUORVEL_RSYSLOGD, or install rsyslog and rsyslog-relp)";
        return false;
    }
    if (folder.empty()) {
        folder = NewLinuxTestFolder();
        if (folder.empty()) {
            why = "no Linux folder to work in (QUORVEL_FORWARD_WORK), or not under Wine";
            return false;
        }
        relpPort = FreeLocalPort(false);
        tcpPort = FreeLocalPort(false);
        udpPort = FreeLocalPort(true);
        // Port 0 in its configuration would have rsyslogd take syslog's own 514.
        if (!relpPort || !tcpPort || !udpPort || relpPort == tcpPort) {
            why = "no free ports on 127.0.0.1 (error " + std::to_string(WSAGetLastError()) + ")";
            folder.clear();
            return false;
        }
        CreateDirectoryA(WindowsPathOf(folder + "/work").c_str(), nullptr);
        std::ofstream conf(WindowsPathOf(folder + "/rsyslog.conf"), std::ios::binary);
        // Direct queues: a message is in its file before RELP acknowledges it.
        conf << "global(workDirectory=\"" << folder << "/work\" maxMessageSize=\"64k\")\n"
             << "main_queue(queue.type=\"Direct\")\n"
             << "module(load=\"imrelp\")\nmodule(load=\"imtcp\")\nmodule(load=\"imudp\")\n"
             << "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n";
        for (const char* input : {"relp", "tcp", "udp"})
            conf << "ruleset(name=\"" << input << "\" queue.type=\"Direct\") { action(type=\"omfile\" file=\""
                 << folder << "/" << input << ".log\" template=\"raw\") }\n";
        conf << "input(type=\"imrelp\" address=\"127.0.0.1\" port=\"" << relpPort << "\" ruleset=\"relp\")\n"
             << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << tcpPort << "\" ruleset=\"tcp\")\n"
             << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << udpPort << "\" ruleset=\"udp\")\n";
    }
    // timeout: a test that dies leaves no collector running for long.
    if (!RunLinuxCommand("exec timeout 300 " + rsyslogd + " -n -f " + folder + "/rsyslog.conf -i " + folder +
                         "/rsyslogd.pid >>" + folder + "/rsyslogd.out 2>&1")) {
        why = "cannot start Linux programs: not under Wine";
        return false;
    }
    // Its process id too: a stop must find it to end it.
    running = WaitUntil(
        [this] {
            return AcceptsConnections(relpPort) && AcceptsConnections(tcpPort) &&
                   !ReadFirstLine(WindowsPathOf(folder + "/rsyslogd.pid")).empty();
        },
        15000);
    if (!running) {
        // What it said, since the folder of a skipped test is removed.
        std::string said;
        for (const std::string& line : ReadLines(WindowsPathOf(folder + "/rsyslogd.out")))
            said += "\n  " + line;
        why = "rsyslogd did not start (" + std::to_string(relpPort) + ", " + std::to_string(tcpPort) + ", " +
              std::to_string(udpPort) + "):" + said;
    }
    return running;
}

void Collector::Stop()
{
    if (!running)
        return;
    KillByPidFile(folder, "rsyslogd.pid");
    const bool stopped = WaitUntil(
        [this] { return !LinuxFileExists(folder + "/rsyslogd.pid") && !AcceptsConnections(relpPort); }, 15000);
    EXPECT_TRUE(stopped) << "rsyslogd did not stop: see " << folder << "/rsyslogd.out";
    running = false;
}

std::vector<std::string> Collector::Lines(const char* input) const
{
    return ReadLines(WindowsPathOf(folder + "/" + input + ".log"));
}

bool Receiver::Start(const std::string& statuses)
{
#ifdef QUORVEL_PYTHON
    const std::string python = LinuxProgram("QUORVEL_PYTHON", QUORVEL_PYTHON);
#else
    const std::string python = LinuxProgram("QUORVEL_PYTHON", nullptr);
#endif
    const std::string script = LinuxProgram("QUORVEL_WEBHOOK_RECEIVER",
#ifdef QUORVEL_WEBHOOK_RECEIVER
                                            QUORVEL_WEBHOOK_RECEIVER
#else
                                            nullptr
#endif
    );
    if (python.empty() || script.empty()) {
        why = "no python3 or no webhook_receiver.py (QUORVEL_PYTHON, QUORVEL_WEBHOOK_RECEIVER)";
        return false;
    }
    folder = NewLinuxTestFolder();
    if (folder.empty()) {
        why = "no Linux folder to work in (QUORVEL_FORWARD_WORK), or not under Wine";
        return false;
    }
    if (!RunLinuxCommand("exec " + python + " " + script + " " + folder + " " + statuses + " >" + folder +
                         "/receiver.out 2>&1")) {
        why = "cannot start Linux programs: not under Wine";
        return false;
    }
    running = WaitUntil([this] { return LinuxFileExists(folder + "/pid"); }, 15000);
    if (!running) {
        why = "the receiver did not start: see " + folder + "/receiver.out";
        return false;
    }
    port = static_cast<uint16_t>(std::atoi(ReadFirstLine(WindowsPathOf(folder + "/port")).c_str()));
    return port != 0;
}

void Receiver::Stop()
{
    if (running)
        KillByPidFile(folder, "pid");
    running = false;
}

std::string Receiver::Request::Value(const std::string& path) const
{
    for (const auto& [name, value] : values)
        if (name == path)
            return value;
    return "(missing " + path + ")";
}

std::vector<Receiver::Request> Receiver::Requests() const
{
    std::vector<Request> requests;
    for (const std::string& line : ReadLines(WindowsPathOf(folder + "/requests.log"))) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "REQUEST") {
            requests.emplace_back();
            words >> requests.back().status >> requests.back().contentType >> requests.back().method;
            requests.back().valid = true;
        } else if (word == "INVALID" && !requests.empty()) {
            requests.back().valid = false;
        } else if (word == "VALUE" && !requests.empty()) {
            std::string path, hex, value;
            words >> path >> hex;
            for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
                value += static_cast<char>(std::strtol(hex.substr(at, 2).c_str(), nullptr, 16));
            requests.back().values.emplace_back(path, value);
        }
    }
    return requests;
}

std::string Utf8Of(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

void ScriptedPeer::Start(std::function<void(SOCKET connection, int number)> script)
{
    StartSockets();
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    int size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    thread = std::thread([this, script] {
        for (int number = 0; !stop.load(); ) {
            if (!WaitReadable(listener, 50))
                continue;
            SOCKET connection = accept(listener, nullptr, nullptr);
            if (connection == INVALID_SOCKET)
                continue;
            script(connection, number++);
            closesocket(connection);
        }
    });
}

void ScriptedPeer::Stop()
{
    stop.store(true);
    if (thread.joinable())
        thread.join();
    CloseSocket(&listener);
}

bool PeerReadFrame(SOCKET connection, PeerFrame* frame, DWORD ms)
{
    const DWORD timeout = ms;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    auto readByte = [connection](char* c) { return recv(connection, c, 1, 0) == 1; };
    std::array<std::string, 3> fields;
    char c = 0;
    for (std::size_t field = 0; field < fields.size(); ++field) {
        while (readByte(&c) && c != ' ' && c != '\n' && fields[field].size() <= 32)
            fields[field] += c;
        if (fields[field].empty() || fields[field].size() > 32 || (c != ' ' && c != '\n') ||
            (c == '\n' && field < 2))
            return false;
    }
    if (fields[0].find_first_not_of("0123456789") != std::string::npos ||
        fields[2].find_first_not_of("0123456789") != std::string::npos)
        return false;
    frame->txnr = static_cast<unsigned>(std::stoul(fields[0]));
    frame->command = fields[1];
    frame->data.assign(std::stoul(fields[2]), '\0');
    if (c == '\n')
        return frame->data.empty();
    std::size_t got = 0;
    while (got < frame->data.size()) {
        const int n = recv(connection, frame->data.data() + got, static_cast<int>(frame->data.size() - got), 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    char end = 0;
    return readByte(&end) && end == '\n';
}

void PeerSend(SOCKET connection, const std::string& bytes)
{
    send(connection, bytes.data(), static_cast<int>(bytes.size()), 0);
}

void PeerSendInPieces(SOCKET connection, const std::string& bytes, std::size_t piece)
{
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        send(connection, bytes.data() + at, static_cast<int>(std::min(piece, bytes.size() - at)), 0);
        Sleep(2);
    }
}

std::string PeerAnswer(unsigned txnr, const std::string& text)
{
    return std::to_string(txnr) + " rsp " + std::to_string(text.size()) + " " + text + "\n";
}
