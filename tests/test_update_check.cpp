// The update check against a real HTTP server on the loopback address.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "support/dialog_driver.h"
#include "windows/update_check.h"
#include "version.h"

namespace {

// Answers one request with `response`, keeping the request it got.
class OneShotServer {
public:
    explicit OneShotServer(std::string response) : response_(std::move(response))
    {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 1);
        thread_ = std::thread([this] { Serve(); });
    }
    ~OneShotServer()
    {
        closesocket(listener_);
        thread_.join();
        WSACleanup();
    }
    std::string Address() const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + "/update/quorvel.php?ver=4";
    }
    std::string request;

private:
    void Serve()
    {
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        std::array<char, 4096> buffer{};
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int got = recv(client, buffer.data(), static_cast<int>(buffer.size()), 0);
            if (got <= 0)
                break;
            request.append(buffer.data(), static_cast<std::size_t>(got));
        }
        send(client, response_.data(), static_cast<int>(response_.size()), 0);
        shutdown(client, SD_SEND);
        closesocket(client);
    }
    std::string response_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::thread thread_;
};

std::string Answer(const std::string& body, const char* status = "200 OK")
{
    return std::string("HTTP/1.0 ") + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

int NewestFrom(const std::string& response, std::string* request = nullptr)
{
    OneShotServer server(response);
    const int newest = ReadNewestUpdate(server.Address().c_str());
    if (request)
        *request = server.request;
    return newest;
}

// Whether the whole check, against this answer, puts the offer on screen (answered No).
bool Offers(const std::string& body)
{
    OneShotServer server(Answer(body));
    std::atomic<bool> offered{false}, done{false};
    {
        DialogDriver driver([&] {
            while (!done) {
                if (HWND box = WaitForDialog("Quorvel", 20)) {
                    offered = MessageBoxText(box) == kUpdateOffer;
                    PressButton(box, IDNO);
                    return;
                }
            }
        });
        CheckForUpdateAt(server.Address().c_str());
        done = true;
    }
    return offered;
}

}  // namespace

TEST(UpdateCheck, AsksOnceWithTheExactRequest)
{
    std::string request;
    EXPECT_EQ(NewestFrom(Answer("5"), &request), 5);
    EXPECT_EQ(request.rfind("GET /update/quorvel.php?ver=4 HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("User-Agent: Quorvel\r\n"), std::string::npos) << request;
}

TEST(UpdateCheck, ReadsTheNumberTheAnswerBeginsWith)
{
    EXPECT_EQ(NewestFrom(Answer("4")), 4);
    EXPECT_EQ(NewestFrom(Answer("0")), 0);
    EXPECT_EQ(NewestFrom(Answer("")), 0);
    EXPECT_EQ(NewestFrom(Answer(" 12abc")), 12);
    EXPECT_EQ(NewestFrom(Answer("<html><body>404 Not Found</body></html>", "404 Not Found")), 0);
    EXPECT_EQ(NewestFrom(Answer("7" + std::string(10000, '9'))), INT_MAX) << "read only up to 4,095 bytes";
    EXPECT_EQ(NewestFrom(Answer("8\n" + std::string(10000, 'x'))), 8);
}

TEST(UpdateCheck, NoServerGivesNothing)
{
    unsigned short port = 0;
    {
        OneShotServer closed(Answer("9"));
        port = static_cast<unsigned short>(std::stoi(closed.Address().substr(17)));
        // Take its one request so that the port is closed afterwards.
        EXPECT_EQ(ReadNewestUpdate(closed.Address().c_str()), 9);
    }
    const std::string nobody = "http://127.0.0.1:" + std::to_string(port) + "/update/quorvel.php?ver=4";
    EXPECT_EQ(ReadNewestUpdate(nobody.c_str()), 0);
}

TEST(UpdateCheck, OffersExactlyANewerNumber)
{
    EXPECT_TRUE(Offers("5"));
    EXPECT_TRUE(Offers(" 12abc"));
    EXPECT_FALSE(Offers("4"));
    EXPECT_FALSE(Offers("0"));
    EXPECT_FALSE(Offers(""));
    EXPECT_FALSE(Offers("<html>error</html>"));
}

TEST(UpdateCheck, TheDefaultHostIsAReservedName)
{
    const std::string host = QUORVEL_WEB_HOST;
    EXPECT_TRUE(host.ends_with(".example") || host.ends_with(".invalid") || host.ends_with(".test")) << host;
    EXPECT_EQ(std::string(UpdateAddress()), "http://" + host + "/update/quorvel.php?ver=4");
}
