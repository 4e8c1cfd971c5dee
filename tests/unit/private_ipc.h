// A semaphore set and a state record of the test's own, removed at the end.
#pragma once

#include <cstring>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "shared_state.h"

class PrivateIpc {
public:
	PrivateIpc()
	{
		vgd_ipc_key = IPC_PRIVATE;
		ok_ = vgd_sem_open() == 0;
		std::memset(&state_, 0, sizeof(state_));
		vgd_state = &state_;
	}
	~PrivateIpc()
	{
		if (ok_)
			semctl(vgd_sem_id, 0, IPC_RMID);
		vgd_state = nullptr;
		vgd_sem_id = -1;
	}
	PrivateIpc(const PrivateIpc &) = delete;
	PrivateIpc &operator=(const PrivateIpc &) = delete;

	bool ok() const { return ok_; }
	shared_state &state() { return state_; }
	static int value(int sem) { return semctl(vgd_sem_id, sem, GETVAL); }

private:
	bool ok_;
	shared_state state_;
};
