#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "private_ipc.h"

namespace {

using namespace std::chrono;

// Polls until cond holds; false after 10 s.
template <typename F> bool eventually(F cond)
{
	for (int i = 0; i < 1000; i++) {
		if (cond())
			return true;
		usleep(10000);
	}
	return false;
}

// The key of an installed program must stay the same from one version to
// the next, or the new program would miss the daemon the old one started.
TEST(IpcKey, ComesFromThePathAlone)
{
	EXPECT_EQ(vgd_path_key("/usr/sbin/kelvgd"), (key_t)0x68b411a2);
	EXPECT_EQ(vgd_path_key("/usr/bin/kelvgd"), (key_t)0x689f6d46);
	EXPECT_EQ(vgd_path_key("/opt/kel/kelvgd"), (key_t)0x68c459ba);
}

TEST(Semaphores, TryLockAndMultiLock)
{
	PrivateIpc ipc;
	ASSERT_TRUE(ipc.ok());
	ASSERT_EQ(vgd_sem_trylock(SEM_MAINLOOP), 0);
	EXPECT_EQ(vgd_sem_trylock(SEM_MAINLOOP), -EAGAIN);
	EXPECT_EQ(vgd_sem_unlock(SEM_MAINLOOP), 0);

	// All or nothing: one held semaphore keeps the others untouched.
	ASSERT_EQ(vgd_sem_lock(SEM_SOUNDCODEC), 0);
	EXPECT_EQ(vgd_sem_trylock2(SEM_SOUNDPINS, SEM_SOUNDCODEC), -EAGAIN);
	EXPECT_EQ(PrivateIpc::value(SEM_SOUNDPINS), 1);
	EXPECT_EQ(vgd_sem_unlock(SEM_SOUNDCODEC), 0);
	ASSERT_EQ(vgd_sem_lock3(SEM_SOUNDPINS, SEM_SOUNDCODEC, SEM_COMMAND), 0);
	EXPECT_EQ(vgd_sem_trylock3(SEM_SOUNDPINS, SEM_SOUNDCODEC, SEM_COMMAND), -EAGAIN);
	EXPECT_EQ(vgd_sem_unlock3(SEM_SOUNDPINS, SEM_SOUNDCODEC, SEM_COMMAND), 0);
	EXPECT_EQ(PrivateIpc::value(SEM_COMMAND), 1);
}

// A process that dies gives back what it took with undo, and only that.
TEST(Semaphores, DeadHolderReleases)
{
	PrivateIpc ipc;
	ASSERT_TRUE(ipc.ok());
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		vgd_sem_lock(SEM_MAINLOOP);
		vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);
		vgd_sem_unlock_noundo(SEM_COMMAND);
		pause();
		_exit(0);
	}
	ASSERT_TRUE(eventually([] { return PrivateIpc::value(SEM_COMMAND) == 2; }));
	EXPECT_EQ(PrivateIpc::value(SEM_MAINLOOP), 0);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_R), 0);
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	EXPECT_EQ(PrivateIpc::value(SEM_MAINLOOP), 1);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_R), 32767);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_W), 1);
	EXPECT_EQ(PrivateIpc::value(SEM_COMMAND), 2);
	EXPECT_EQ(vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W), 0);
	EXPECT_EQ(vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W), 0);
}

// Many readers at once; a writer waits for them, and while it waits, a
// reader that arrives after it waits behind it.
TEST(ReaderWriterLock, WaitingWriterGoesFirst)
{
	PrivateIpc ipc;
	ASSERT_TRUE(ipc.ok());
	int order[2];
	ASSERT_EQ(pipe(order), 0);

	ASSERT_EQ(vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W), 0);
	ASSERT_EQ(vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W), 0);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_R), 32765);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_W), 1);

	auto child = [&](char mark, bool writer) {
		pid_t pid = fork();
		if (pid == 0) {
			int r = writer ? vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W) : vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W);
			if (r == 0 && write(order[1], &mark, 1) == 1)
				usleep(100000);
			_exit(r == 0 ? 0 : 1);
		}
		return pid;
	};

	pid_t w = child('W', true);
	// The writer holds the gate and waits for the two readers.
	ASSERT_TRUE(eventually([] { return PrivateIpc::value(SEM_SSTATE_W) == 0; }));
	pid_t r = child('R', false);
	usleep(100000);

	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	usleep(100000);
	char first = 0;
	ASSERT_EQ(fcntl(order[0], F_SETFL, O_NONBLOCK), 0);
	EXPECT_EQ(read(order[0], &first, 1), -1) << "a lock was granted while a reader still holds the state";
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);

	char seq[2] = {};
	ASSERT_EQ(fcntl(order[0], F_SETFL, 0), 0);
	ASSERT_EQ(read(order[0], &seq[0], 1), 1);
	ASSERT_EQ(read(order[0], &seq[1], 1), 1);
	EXPECT_EQ(seq[0], 'W');
	EXPECT_EQ(seq[1], 'R');

	int status;
	waitpid(w, &status, 0);
	EXPECT_EQ(WEXITSTATUS(status), 0);
	waitpid(r, &status, 0);
	EXPECT_EQ(WEXITSTATUS(status), 0);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_R), 32767);
	close(order[0]);
	close(order[1]);
}

TEST(Sleep, ZeroAndWholeSeconds)
{
	auto t0 = steady_clock::now();
	EXPECT_EQ(vgd_msleep(0), 0);
	EXPECT_EQ(vgd_usleep(0), 0);
	EXPECT_LT(steady_clock::now() - t0, milliseconds(500));

	t0 = steady_clock::now();
	EXPECT_EQ(vgd_msleep(1200), 0);
	EXPECT_GE(steady_clock::now() - t0, milliseconds(1200));
	t0 = steady_clock::now();
	EXPECT_EQ(vgd_usleep(1050000), 0);
	EXPECT_GE(steady_clock::now() - t0, microseconds(1050000));
}

TEST(Sleep, SignalCutsItShort)
{
	struct sigaction sa = {}, old;
	sa.sa_handler = [](int) {};
	sigaction(SIGALRM, &sa, &old);

	alarm(1);
	EXPECT_EQ(vgd_msleep(5000), -EINTR);
	ualarm(100000, 0);
	EXPECT_EQ(vgd_msleep(900), -EINTR);
	alarm(1);
	EXPECT_EQ(vgd_usleep(3000000), -EINTR);
	sigaction(SIGALRM, &old, nullptr);
}

TEST(SharedFlags, AtomicOperations)
{
	uint8_t f = 0x05;
	EXPECT_EQ(vgd_xchg(&f, 0), 0x05);
	EXPECT_EQ(f, 0);
	EXPECT_EQ(vgd_fetch_or(&f, 0x12), 0);
	EXPECT_EQ(vgd_fetch_and(&f, 0x02), 0x12);
	EXPECT_EQ(vgd_load(&f), 0x02);
}

} // namespace
