// OpenMP `sections` as the program runs them: a region's sections in order on the calling thread,
// with no team opened, and a team of several threads still sharing its sections out through libgomp.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>

#include "platform/linux/recognition/InlineSections.h"

namespace {

namespace inlinesections = linuxplatform::inlinesections;

TEST(InlineSectionsTest, ARegionsSectionsRunInOrderOnTheCallingThreadWithNoTeamOpened) {
    ASSERT_TRUE(inlinesections::bound());
    const auto before = inlinesections::regionsRun();
    const auto caller = std::this_thread::get_id();
    std::string order;
    bool alone = true;
    const auto step = [&](char c) {
        order += c;
        // A team opened, even of one thread, is a level.
        alone = alone && std::this_thread::get_id() == caller && omp_get_level() == 0 && omp_get_num_threads() == 1;
    };
#pragma omp parallel sections
    {
#pragma omp section
        step('a');
#pragma omp section
        {
            step('b');
#pragma omp parallel sections
            {
#pragma omp section
                step('c');
#pragma omp section
                step('d');
            }
        }
#pragma omp section
        step('g');
    }
    EXPECT_EQ(order, "abcdg");
    EXPECT_TRUE(alone);
    EXPECT_EQ(inlinesections::regionsRun() - before, 2u);

    // A sections construct in a team of one thread runs here too.
    std::string inTeam;
#pragma omp parallel num_threads(1)
#pragma omp sections
    {
#pragma omp section
        inTeam += 'e';
#pragma omp section
        inTeam += 'f';
    }
    EXPECT_EQ(inTeam, "ef");
}

TEST(InlineSectionsTest, ATeamOfSeveralThreadsStillSharesItsSectionsOut) {
    // Each section runs once, on whichever thread libgomp gives it.
    const int levels = omp_get_max_active_levels();
    omp_set_max_active_levels(1);
    std::mutex mutex;
    std::string shared;
    const auto add = [&](char c) {
        std::lock_guard lock(mutex);
        shared += c;
    };
    int threads = 0;
#pragma omp parallel num_threads(2)
    {
#pragma omp single
        threads = omp_get_num_threads();
#pragma omp sections
        {
#pragma omp section
            add('x');
#pragma omp section
            add('y');
#pragma omp section
            add('z');
        }
    }
    omp_set_max_active_levels(levels);
    std::sort(shared.begin(), shared.end());
    EXPECT_EQ(threads, 2);
    EXPECT_EQ(shared, "xyz");
}

}  // namespace
