#pragma once
// A small synchronous reactive-streams library: publishers, subscribers, subscriptions with
// demand and cancellation, subjects and the map / compactMap / sink operators.

#include "platform/reactive/AnyPublisher.h"
#include "platform/reactive/Cancellable.h"
#include "platform/reactive/Completion.h"
#include "platform/reactive/CurrentValueSubject.h"
#include "platform/reactive/Demand.h"
#include "platform/reactive/PassthroughSubject.h"
#include "platform/reactive/Publisher.h"
#include "platform/reactive/Sink.h"
#include "platform/reactive/Subscriber.h"
#include "platform/reactive/Subscription.h"
