// The scoped lock: a lock that failed is reported and never unlocked on the way out.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>

#include "mutex_hold.hpp"

namespace {

class ErrorCheckingMutex : public testing::Test {
protected:
    void SetUp() override {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    void TearDown() override { pthread_mutex_destroy(&mutex_); }

    pthread_mutex_t mutex_;
};

TEST_F(ErrorCheckingMutex, ASecondHoldFailsAndLeavesTheFirstHeld) {
    mutex_hold outer(mutex_);
    ASSERT_EQ(outer.lock_error(), 0);
    {
        mutex_hold inner(mutex_);
        EXPECT_EQ(inner.lock_error(), EDEADLK);
    }
    // Still this thread's: the failed hold gave nothing back.
    EXPECT_EQ(pthread_mutex_trylock(&mutex_), EBUSY);
}

}  // namespace
