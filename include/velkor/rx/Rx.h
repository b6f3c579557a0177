#pragma once

// The whole Rx layer: observables and their operators, subjects, variables, disposables and
// schedulers.

#include "velkor/rx/CompositeDisposable.h"
#include "velkor/rx/ConcurrentDispatchQueueScheduler.h"
#include "velkor/rx/Disposable.h"
#include "velkor/rx/Disposables.h"
#include "velkor/rx/Error.h"
#include "velkor/rx/ImmediateScheduler.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/Observer.h"
#include "velkor/rx/PublishSubject.h"
#include "velkor/rx/Scheduler.h"
#include "velkor/rx/SerialEventLoopScheduler.h"
#include "velkor/rx/Unit.h"
#include "velkor/rx/Variable.h"
