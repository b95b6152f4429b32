// Internals of the worker pool that its tests reach into.
#pragma once

#include <pthread.h>

namespace brenmor::pool::detail {

// The function that creates the pool's threads (pthread_create by default).
using ThreadCreator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Replaces the thread creator of the pool's start. Only for tests, before the
// first parallel pass of the process.
void set_thread_creator(ThreadCreator creator) noexcept;

}  // namespace brenmor::pool::detail
