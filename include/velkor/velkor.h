#pragma once

// Everything a host needs to use Velkor: connect to the settings daemon, open settings and
// read, change and observe their values.
//
//     auto connection = velkor::connect();
//     auto settings = connection->openDictionary("org.example.app");
//     if (!settings->set("volume", 7)) { /* logged; the daemon did not take it */ }
//     velkor::Subscription watching = settings->observe(
//         [](const velkor::VKContainerChange& change) { /* another process changed it */ });
//
// Hosts with a dependency container register the library's factories there instead
// (VKConnectionFactory::registerWith, with a BKProductDefines) and resolve VKConnection or
// VKConnectionMonitor; velkor::connect and velkor::makeMonitor are built on the same factories.
// Applications that must keep their settings across daemon restarts hold a velkor::Settings.

#include "velkor/BKProductDefines.h"
#include "velkor/Connect.h"
#include "velkor/Log.h"
#include "velkor/Settings.h"
#include "velkor/Subscription.h"
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
