#include "rs485_threads.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace rs485 {

namespace {

// Real-time, but low among real-time priorities: the kernel's own threads
// still come first. The nice level is the fallback without the right to
// real-time scheduling.
constexpr int kRealTimePriority = 10;
constexpr int kHighNice = -10;
// Semaphore waits go in steps of at most this long: a stop request is
// seen within one, and so would be a wake-up that the library lost.
constexpr auto kWaitStep = std::chrono::milliseconds(20);

} // namespace

uint64_t monotonic_seconds()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec;
}

SavedPriority set_thread_priority(ThreadPriority priority)
{
	SavedPriority saved;
	sched_param param{};
	pid_t tid = gettid();

	if (pthread_getschedparam(pthread_self(), &saved.policy, &param) == 0)
		saved.rt_priority = param.sched_priority;
	else
		saved.policy = -1;
	saved.nice = getpriority(PRIO_PROCESS, (id_t)tid);

	if (priority == ThreadPriority::Highest) {
		param.sched_priority = kRealTimePriority;
		if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) != 0)
			(void)setpriority(PRIO_PROCESS, (id_t)tid, kHighNice);
	} else {
		param.sched_priority = 0;
		(void)pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
	}
	return saved;
}

void restore_priority(const SavedPriority &saved)
{
	if (saved.policy >= 0) {
		sched_param param{};
		param.sched_priority = saved.rt_priority;
		(void)pthread_setschedparam(pthread_self(), saved.policy, &param);
	}
	(void)setpriority(PRIO_PROCESS, (id_t)gettid(), saved.nice);
}

PartThread::PartThread(std::string name, const char *os_name, ThreadPriority priority,
		       std::function<void(std::stop_token)> body)
	: m_name(std::move(name))
{
	m_thread = std::jthread([this, os_name, priority, body = std::move(body)](std::stop_token stop) {
		pthread_setname_np(pthread_self(), os_name);
		if (priority != ThreadPriority::Normal)
			set_thread_priority(priority);
		body(stop);
		m_done.release();
	});
}

PartThread::~PartThread()
{
	RequestStop();
	Join();
}

void PartThread::Join()
{
	if (!m_thread.joinable())
		return;
	if (!acquire_until(m_done, Clock::now() + kJoinLimit, {})) {
		fprintf(stderr, "%s did not stop within %lld ms\n", m_name.c_str(), (long long)kJoinLimit.count());
		abort();
	}
	m_thread.join();
}

bool sleep_for(std::stop_token stop, Clock::duration time)
{
	std::mutex mutex;
	std::condition_variable_any cv;
	std::unique_lock<std::mutex> hold(mutex);
	cv.wait_for(hold, stop, time, [] { return false; });
	return stop.stop_requested();
}

bool acquire_until(std::binary_semaphore &semaphore, Clock::time_point deadline, std::stop_token stop)
{
	for (;;) {
		if (stop.stop_requested())
			return false;
		const auto now = Clock::now();
		if (now >= deadline)
			return semaphore.try_acquire();
		if (semaphore.try_acquire_for(std::min<Clock::duration>(deadline - now, kWaitStep)))
			return true;
	}
}

} // namespace rs485
