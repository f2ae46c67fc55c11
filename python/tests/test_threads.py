"""One boundary, one gate and one counter shared by threads at once: producers
authorize and count, one admitter feeds every receipt to the gate in sequence
order while another thread replays what was already admitted."""
import threading
import time

from _kelvara import KelBoundary, KelGate, KelViolation, MonotonicCounter

KEY = bytes(range(100, 132))


def test_shared_boundary_gate_and_counter_under_threads():
    producers, calls = 4, 2000
    total = producers * calls
    boundary, gate, counter = KelBoundary(rate_limit=10**9, hmac_key=KEY), KelGate(KEY), MonotonicCounter()
    produced, counted, admitted, replays = {}, [[] for _ in range(producers)], [], []
    start, deadline = threading.Barrier(producers + 2), time.monotonic() + 120
    done = threading.Event()

    def produce(axis):
        start.wait()
        for i in range(calls):
            receipt = boundary.authorize_action(axis, float(i), 0.25)
            produced[receipt.sequence_id] = (receipt.receipt_hash, axis, float(i), 0.25)
            counted[axis].append(counter.next_value())

    def admit_in_order():
        start.wait()
        for sequence_id in range(1, total + 1):
            while sequence_id not in produced:
                assert time.monotonic() < deadline, f"sequence id {sequence_id} never produced"
                time.sleep(0)
            admitted.append(gate.admit(*produced[sequence_id]).sequence_id)
        done.set()

    def replay_admitted():
        start.wait()
        while True:
            finished = done.is_set()  # one more replay after the last admission, at least
            if admitted:
                try:
                    gate.admit(*produced[admitted[-1]])
                    replays.append("admitted")
                except KelViolation as refusal:
                    replays.append(refusal.violation_type)
            if finished:
                break
            time.sleep(0)

    workers = [threading.Thread(target=produce, args=(axis,)) for axis in range(producers)]
    workers += [threading.Thread(target=admit_in_order), threading.Thread(target=replay_admitted)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()

    assert sorted(produced) == list(range(1, total + 1))  # no sequence id twice, none skipped
    assert len({raw[:12] for raw, *_ in produced.values()}) == total  # every nonce distinct
    assert admitted == list(range(1, total + 1)) and gate.last_sequence_id == total
    assert replays and set(replays) <= {"replay_counter", "replay_nonce"}
    values = [v for per_thread in counted for v in per_thread]
    assert sorted(values) == list(range(1, total + 1)) and counter.current_value() == total
    assert all(per_thread == sorted(per_thread) for per_thread in counted)
