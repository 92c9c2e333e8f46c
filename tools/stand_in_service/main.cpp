// kelvara-stand-in-service --port 8443 --banners <file.json or folder> [--certs <folder>]
//
// Serves banners the way the Kelvara service does, on loopback, for tests, the demo and rehearsals. Point a
// client at it as its HTTP proxy and trust certs/ca.pem:
//   curl --cacert certs/ca.pem --proxy http://127.0.0.1:8443
//        'https://kelvara.com/api/public/banners/demo/render-revisions?after=0&limit=1'

#include "banner_description.hpp"
#include "stand_in_service.hpp"

#include <QtCore/QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef KELVARA_STAND_IN_CERTIFICATES
#define KELVARA_STAND_IN_CERTIFICATES "certs"
#endif

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::uint16_t port = 8443;
    std::filesystem::path banners;
    std::filesystem::path certificates = KELVARA_STAND_IN_CERTIFICATES;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--port") {
            port = static_cast<std::uint16_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--banners") {
            banners = argv[i + 1];
        } else if (option == "--certs") {
            certificates = argv[i + 1];
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (banners.empty()) {
        std::fprintf(stderr, "usage: %s --port <port> --banners <file.json or folder> [--certs <folder>]\n", argv[0]);
        return 2;
    }
    try {
        kelvara::standin::StandInService service(certificates);
        kelvara::standin::load_banner_description(banners, service.catalog());
        if (!service.listen_on_loopback(port)) {
            std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", port);
            return 1;
        }
        std::printf("stand-in service on 127.0.0.1:%u (proxy), CA %s\n", service.port(),
                    kelvara::standin::stand_in_ca_certificate(certificates).c_str());
        std::fflush(stdout);
        return application.exec();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
