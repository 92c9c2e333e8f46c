#include "stand_in_service.hpp"

#include <QtCore/QFile>
#include <QtCore/QTimer>
#include <QtNetwork/QNetworkProxy>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslSocket>

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace kelvara::standin {
namespace {

QByteArray read_file(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return file.readAll();
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

const char* reason_phrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 304:
        return "Not Modified";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 410:
        return "Gone";
    default:
        return "Status";
    }
}

std::string to_hex(std::size_t value) {
    char digits[2 * sizeof value + 1];
    std::snprintf(digits, sizeof digits, "%zx", value);
    return digits;
}

// Closes with a TCP reset rather than an orderly close.
void reset(QSslSocket& socket) {
    const linger hard{1, 0};
    setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket.abort();
}

// Splits one request head into its request line and headers; nothing until the head is complete.
std::optional<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> take_head(QByteArray& buffer) {
    const auto end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        return std::nullopt;
    }
    const std::string head = buffer.left(end).toStdString();
    buffer.remove(0, end + 4);
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t line_end = head.find("\r\n");
    const std::string request_line = head.substr(0, line_end);
    while (line_end != std::string::npos) {
        const std::size_t start = line_end + 2;
        line_end = head.find("\r\n", start);
        const std::string line =
            head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            const auto value_start = line.find_first_not_of(' ', colon + 1);
            headers.emplace_back(line.substr(0, colon),
                                 value_start == std::string::npos ? "" : line.substr(value_start));
        }
    }
    return std::pair{request_line, headers};
}

// "METHOD target HTTP/1.1" into the method and the target.
std::pair<std::string, std::string> split_request_line(const std::string& line) {
    const auto space = line.find(' ');
    const auto second_space = line.find(' ', space + 1);
    return {line.substr(0, space), line.substr(space + 1, second_space - space - 1)};
}

} // namespace

struct StandInService::Connection {
    QSslSocket* socket = nullptr;
    QByteArray buffer;
    std::string host;
    bool tunnelled = false;
};

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (lower(key) == lower(name)) {
            return value;
        }
    }
    return {};
}

std::filesystem::path stand_in_ca_certificate(const std::filesystem::path& certificate_dir) {
    return certificate_dir / "ca.pem";
}

StandInService::StandInService(const std::filesystem::path& certificate_dir) : certificate_dir_(certificate_dir) {
    const auto load = [&](const char* name, QSslCertificate& certificate, QSslKey& key) {
        certificate = QSslCertificate(read_file(certificate_dir / (std::string(name) + ".pem")), QSsl::Pem);
        key = QSslKey(read_file(certificate_dir / (std::string(name) + ".key")), QSsl::Rsa, QSsl::Pem);
    };
    load("service", service_certificate_, service_key_);
    load("wrong-host", wrong_host_certificate_, wrong_host_key_);
    load("untrusted", untrusted_certificate_, untrusted_key_);
}

StandInService::~StandInService() {
    close();
}

bool StandInService::listen_on_loopback(std::uint16_t port) {
    const bool listening = listen(QHostAddress::LocalHost, port);
    listening_port_ = serverPort();
    return listening;
}

bool StandInService::serve_this_process() {
    if (!listen_on_loopback()) {
        return false;
    }
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", listening_port_));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QString::fromStdString(stand_in_ca_certificate(certificate_dir_).string()));
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

StandInService& StandInService::shared(const std::filesystem::path& certificate_dir) {
    static StandInService* service = [&] {
        auto* created = new StandInService(certificate_dir); // lives as long as the program's Qt objects need it
        if (!created->serve_this_process()) {
            throw std::runtime_error("stand-in service cannot listen");
        }
        return created;
    }();
    return *service;
}

void StandInService::set_offline(bool offline) {
    if (offline) {
        close();
    } else if (!isListening()) {
        listen(QHostAddress::LocalHost, listening_port_);
    }
}

void StandInService::incomingConnection(qintptr descriptor) {
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    ++connections_;
    auto connection = std::make_shared<Connection>();
    connection->socket = socket;
    connect(socket, &QSslSocket::readyRead, this, [this, connection] {
        if (connection->tunnelled) {
            on_tls_data(*connection);
        } else {
            on_plain_data(*connection);
        }
    });
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QSslSocket::errorOccurred, socket, [socket] { socket->deleteLater(); });
}

void StandInService::on_plain_data(Connection& connection) {
    connection.buffer.append(connection.socket->readAll());
    const auto head = take_head(connection.buffer);
    if (!head) {
        return;
    }
    // "CONNECT kelvara.com:443 HTTP/1.1"
    const auto [method, authority] = split_request_line(head->first);
    connection.host = authority.substr(0, authority.find(':'));
    if (method != "CONNECT" || (connection.host != "kelvara.com" && connection.host != "www.kelvara.com")) {
        connection.socket->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        connection.socket->disconnectFromHost();
        return;
    }
    connection.socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
    connection.tunnelled = true;
    switch (identity_) {
    case ServerIdentity::service:
        connection.socket->setLocalCertificate(service_certificate_);
        connection.socket->setPrivateKey(service_key_);
        break;
    case ServerIdentity::wrong_host:
        connection.socket->setLocalCertificate(wrong_host_certificate_);
        connection.socket->setPrivateKey(wrong_host_key_);
        break;
    case ServerIdentity::untrusted:
        connection.socket->setLocalCertificate(untrusted_certificate_);
        connection.socket->setPrivateKey(untrusted_key_);
        break;
    }
    connection.socket->startServerEncryption();
}

void StandInService::on_tls_data(Connection& connection) {
    connection.buffer.append(connection.socket->readAll());
    const auto head = take_head(connection.buffer);
    if (!head) {
        return;
    }
    RecordedRequest request{connection.host, split_request_line(head->first).second, head->second};
    requests_.push_back(request);
    respond(connection, request);
}

std::optional<Fault> StandInService::take_fault(const std::string& target) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (target.starts_with(it->target_prefix)) {
            Fault fault = *it;
            if (it->count > 0 && --it->count == 0) {
                faults_.erase(it);
            }
            return fault;
        }
    }
    return std::nullopt;
}

void StandInService::respond(Connection& connection, const RecordedRequest& request) {
    QSslSocket* socket = connection.socket;
    Fault plan;
    if (auto fault = take_fault(request.target)) {
        plan = std::move(*fault);
    } else {
        const std::string tag = request.header("If-None-Match");
        plan.answer = catalog_.answer(request.target, tag.empty() ? std::nullopt : std::optional(tag));
    }
    if (plan.delivery == Delivery::reset) {
        reset(*socket);
        return;
    }
    if (plan.delivery == Delivery::silence) {
        return; // keep the connection open and never answer
    }
    const HttpAnswer& answer = plan.answer;
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason_phrase(answer.status) + "\r\n";
    if (!answer.content_type.empty()) {
        head += "Content-Type: " + answer.content_type + "\r\n";
    }
    for (const auto& [name, value] : answer.headers) {
        head += name + ": " + value + "\r\n";
    }
    if (plan.delivery == Delivery::chunked_cut_short) {
        head += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    } else {
        head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n";
    }
    socket->write(head.data(), qint64(head.size()));
    if (plan.delivery == Delivery::whole) {
        socket->write(answer.body.data(), qint64(answer.body.size()));
        socket->disconnectFromHost();
        return;
    }
    if (plan.delivery == Delivery::cut_short || plan.delivery == Delivery::chunked_cut_short) {
        std::string half = answer.body.substr(0, answer.body.size() / 2);
        if (plan.delivery == Delivery::chunked_cut_short) { // one chunk, and never the terminating one
            half = to_hex(half.size()) + "\r\n" + half + "\r\n";
        }
        socket->write(half.data(), qint64(half.size()));
        socket->disconnectFromHost();
        return;
    }
    // Trickle: small pieces on a timer, then an orderly close.
    auto body = std::make_shared<std::string>(answer.body);
    auto offset = std::make_shared<std::size_t>(0);
    auto* timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, socket, [socket, timer, body, offset, chunk = plan.trickle_bytes] {
        const std::size_t size = std::min(chunk, body->size() - *offset);
        socket->write(body->data() + *offset, qint64(size));
        *offset += size;
        if (*offset >= body->size()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(plan.trickle_interval_ms);
}

} // namespace kelvara::standin
