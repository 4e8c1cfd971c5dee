// The IPC key, the shared segment and the semaphore set.
#include "shared_state.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include "errmsg.h"
#include "util.h"

key_t vgd_ipc_key = -1;
int vgd_sem_id = -1;
shared_state *vgd_state;

static const unsigned short vgd_sem_initial[SEM_NUMBER] = { 1, 1, 1, VGD_READERS_MAX, 1, 1 };

key_t vgd_path_key(const char *path)
{
	uint32_t h = str_hash32(path);

	return (key_t)((uint32_t)VGD_IPC_PROJECT << 24 | ((h >> 24) ^ (h & 0xffffff)));
}

// ftok() would take the file's inode number, which changes whenever the
// program is replaced: every command after an upgrade would miss the
// daemon. The path stays.
int vgd_calc_ipc_key(void)
{
	char path[PATH_MAX];

	if (!realpath("/proc/self/exe", path))
		return neg_errno_msg("%s(): realpath() failed\n", __func__);
	vgd_ipc_key = vgd_path_key(path);
	return 0;
}

int vgd_state_open(void)
{
	int id = shmget(vgd_ipc_key, sizeof(shared_state), IPC_CREAT | 0660);
	void *p;

	if (id < 0)
		return neg_errno_msg("Cannot get shared memory\n");
	p = shmat(id, nullptr, 0);
	if (p == (void *)-1)
		return neg_errno_msg("Cannot attach shared memory\n");
	vgd_state = (shared_state *)p;
	return 0;
}

int vgd_state_close(void)
{
	if (!vgd_state)
		return 0;
	if (shmdt(vgd_state) != 0)
		return neg_errno();
	vgd_state = nullptr;
	return 0;
}

int vgd_sem_set(int sem, int value)
{
	return semctl(vgd_sem_id, sem, SETVAL, value) == 0 ? 0 : neg_errno();
}

int vgd_sem_open(void)
{
	int id = semget(vgd_ipc_key, SEM_NUMBER, IPC_CREAT | IPC_EXCL | 0660);

	if (id >= 0) {
		vgd_sem_id = id;
		for (int i = 0; i < SEM_NUMBER; i++)
			if (vgd_sem_set(i, vgd_sem_initial[i]) < 0)
				return neg_errno_msg("Error initializing semaphore (%d)\n", i);
		return 0;
	}
	// Someone created it before: use it as it is.
	id = semget(vgd_ipc_key, SEM_NUMBER, IPC_CREAT | 0660);
	if (id < 0)
		return neg_errno_msg("Cannot get semaphores\n");
	vgd_sem_id = id;
	return 0;
}

int vgd_loop_running(void)
{
	int v = semctl(vgd_sem_id, SEM_MAINLOOP, GETVAL);

	return v < 0 ? neg_errno() : v == 0;
}

int vgd_expect_loop(void)
{
	int r = vgd_loop_running();

	if (r == 0)
		fputs("kelvgd is not running\n", stderr);
	return r;
}

static int vgd_instance_refused(int r)
{
	errno = -r;
	neg_errno_automsg();
	if (r == -EAGAIN)
		fputs("kelvgd is already running\n", stderr);
	return -EBUSY;
}

int vgd_instance_check(void)
{
	int r = vgd_loop_running();

	return r < 0 ? r : r ? vgd_instance_refused(-EAGAIN) : 0;
}

int vgd_instance_lock(void)
{
	int r = vgd_sem_trylock(SEM_MAINLOOP);

	return r < 0 ? vgd_instance_refused(r) : 0;
}

int vgd_sem_close(void)
{
	return 0;
}

// One semop() call over up to three semaphores.
static int vgd_semop(int n, const int *sems, int delta, short flags)
{
	struct sembuf ops[3];

	for (int i = 0; i < n; i++)
		ops[i] = { (unsigned short)sems[i], (short)delta, flags };
	return semop(vgd_sem_id, ops, (size_t)n) == 0 ? 0 : neg_errno();
}

#define VGD_SEM_OPS(suffix, delta, flags)                                                                   \
	int vgd_sem_##suffix(int a)                                                                         \
	{                                                                                                   \
		return vgd_semop(1, &a, delta, flags);                                                      \
	}                                                                                                   \
	int vgd_sem_##suffix##2(int a, int b)                                                               \
	{                                                                                                   \
		const int s[] = { a, b };                                                                   \
		return vgd_semop(2, s, delta, flags);                                                       \
	}                                                                                                   \
	int vgd_sem_##suffix##3(int a, int b, int c)                                                        \
	{                                                                                                   \
		const int s[] = { a, b, c };                                                                \
		return vgd_semop(3, s, delta, flags);                                                       \
	}

VGD_SEM_OPS(lock, -1, SEM_UNDO)
VGD_SEM_OPS(trylock, -1, SEM_UNDO | IPC_NOWAIT)
VGD_SEM_OPS(unlock, 1, SEM_UNDO)
#undef VGD_SEM_OPS

int vgd_sem_lock_noundo(int a)
{
	return vgd_semop(1, &a, -1, 0);
}

int vgd_sem_unlock_noundo(int a)
{
	return vgd_semop(1, &a, 1, 0);
}

int vgd_read_lock(int r, int w)
{
	int res = vgd_sem_lock2(w, r);

	return res < 0 ? res : vgd_sem_unlock(w);
}

int vgd_read_unlock(int r, int w)
{
	(void)w;
	return vgd_sem_unlock(r);
}

int vgd_write_lock(int r, int w)
{
	int res = vgd_sem_lock(w);

	if (res < 0)
		return res;
	// Holding the gate while the readers drain keeps new readers out.
	res = vgd_semop(1, &r, -VGD_READERS_MAX, SEM_UNDO);
	if (res < 0) {
		vgd_sem_unlock(w);
		return res;
	}
	return vgd_sem_unlock(w);
}

int vgd_write_unlock(int r, int w)
{
	(void)w;
	return vgd_semop(1, &r, VGD_READERS_MAX, SEM_UNDO);
}
