#pragma once
// The dispatch layer: queues, groups, semaphores and event sources.
#include "platform/dispatch/Block.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/QoS.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/Source.h"
#include "platform/dispatch/Time.h"
