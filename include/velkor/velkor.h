#pragma once

// Everything a host needs to use Velkor: register the library with a dependency container,
// obtain a connection (directly or through the connection monitor), open settings and read,
// change and observe their values.
//
//     velkor::di::Container container;
//     container.registerFactory<velkor::BKProductDefines>(
//         [](const velkor::di::Resolver&) { return std::make_shared<velkor::BKProductDefines>();
//         });
//     velkor::VKConnectionFactory::registerWith(container);
//     auto connection = container.resolve<velkor::VKConnection>();
//     auto root = velkor::asDictionary(
//         connection->openOrCreateSettings(velkor::VKDictionary::make(), "org.example.app")
//             .rootContainer);
//     root->set("volume", std::int64_t{7});

#include "velkor/BKProductDefines.h"
#include "velkor/Log.h"
#include "velkor/UUID.h"
#include "velkor/VKArray.h"
#include "velkor/VKConnection.h"
#include "velkor/VKConnectionFactory.h"
#include "velkor/VKConnectionMonitor.h"
#include "velkor/VKContainer.h"
#include "velkor/VKContainerChange.h"
#include "velkor/VKConversions.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"
#include "velkor/VKObjectBase.h"
#include "velkor/VKOwnership.h"
#include "velkor/VKScalars.h"
#include "velkor/Version.h"
#include "velkor/di/Container.h"
#include "velkor/rx/Rx.h"
