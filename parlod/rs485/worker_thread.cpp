#include "worker_thread.h"

#include <cstdio>
#include <cstdlib>
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

} // namespace

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

WorkerThread::WorkerThread(std::string name, const char *os_name, ThreadPriority priority,
			   std::function<void()> body)
	: name_(std::move(name))
{
	thread_ = std::thread([this, os_name, priority, body = std::move(body)] {
		pthread_setname_np(pthread_self(), os_name);
		if (priority != ThreadPriority::Normal)
			set_thread_priority(priority);
		body();
		std::lock_guard<std::mutex> hold(mutex_);
		done_ = true;
		cv_.notify_all();
	});
}

WorkerThread::~WorkerThread()
{
	if (thread_.joinable()) {
		// A thread that outlives its owner would use freed memory: better
		// to end here, with a core to show where it hung.
		fprintf(stderr, "%s: thread still running at destruction\n", name_.c_str());
		abort();
	}
}

bool WorkerThread::join_for(std::chrono::milliseconds limit)
{
	if (!thread_.joinable())
		return true;
	{
		std::unique_lock<std::mutex> hold(mutex_);
		if (!cv_.wait_for(hold, limit, [this] { return done_; }))
			return false;
	}
	thread_.join();
	return true;
}

} // namespace rs485
