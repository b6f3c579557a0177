#include "channel/XpcChannelToServerFactory.h"

#include "basalt/QZLogger.h"
#include "channel/XpcChannelToServer.h"
#include "velkor/BKProductDefines.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.ServerXpcChannel");
    return log;
}

}  // namespace

void XpcChannelToServerFactory::registerWith(di::Container& container,
                                             const std::string& busAddress,
                                             std::chrono::milliseconds timeout) {
    auto resolver = container.synchronize();
    container
        .registerFactory<ConnectionToServer>(
            [resolver, busAddress,
             timeout](const di::Resolver&) -> std::shared_ptr<ConnectionToServer> {
                auto defines = resolver->resolve<BKProductDefines>();
                auto name =
                    defines ? defines->lookup(BKProductDefines::kDaemonServiceName) : std::nullopt;
                if (!name) {
                    logger().error(
                        "Can't create XPC channel to server: no BKProductDefines with the "
                        "daemon's service name is registered.");
                    return nullptr;
                }
                logger().debug("Creating XPC channel to server...");
                return XpcChannelToServer::make(*name, busAddress, timeout);
            })
        .inObjectScope(di::ObjectScope::transient);
}

}  // namespace velkor
