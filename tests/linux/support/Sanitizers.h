// Which sanitizer the test program is built with, under GCC (which defines
// __SANITIZE_ADDRESS__ and __SANITIZE_THREAD__) and clang (which answers
// __has_feature instead) alike: TEVRA_TEST_ASAN and TEVRA_TEST_TSAN are 1 or 0.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TEVRA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEVRA_TEST_ASAN 1
#endif
#endif
#ifndef TEVRA_TEST_ASAN
#define TEVRA_TEST_ASAN 0
#endif

#if defined(__SANITIZE_THREAD__)
#define TEVRA_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TEVRA_TEST_TSAN 1
#endif
#endif
#ifndef TEVRA_TEST_TSAN
#define TEVRA_TEST_TSAN 0
#endif
