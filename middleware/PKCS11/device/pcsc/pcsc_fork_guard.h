#pragma once
// pcsc-lite's client library keeps one mutex for the whole process. Every call
// takes it for a moment, and SCardEstablishContext holds it across its whole
// exchange with pcscd. A fork() while another thread holds it leaves the
// child's copy taken for ever: the child's first PC/SC call (its
// C_Initialize and first slot list, PKCS#11 v2.20 section 6.6.1) would hang.
//
// So the calls of ours that return at once run under pcsc_call, and fork()
// waits until none is running (a fork handler takes the guard for itself).
// The calls that wait for the card or for a reader change (SCardTransmit, a
// status change with a time-out) are not held up: they take pcsc-lite's mutex
// only for the few instructions of their handle lookup.
#include <shared_mutex>

std::shared_mutex& pcsc_fork_guard();

template <class Call> auto pcsc_call(Call&& call) {
    std::shared_lock lock(pcsc_fork_guard());
    return call();
}
