"""The test kit that the end-to-end tests, the fault suite, the demo and the bench share: the Wine
session (loader, prefix, wineserver, the build under test and its width), the agent sandbox
(install folder, stand-ins, registry identity, INI files, run log), registry batches through
regedit, the management-server simulator (tools/mgmt-sim/sim.py) with its client, the test root
that HTTPS simulators are trusted by (harness.trust_test_root) and a CONNECT proxy (proxy.py).

    import sys; sys.path.insert(0, "<repo>/tools")
    from kdht_testkit import harness as h
    with h.sim.Simulator() as server:
        agent = h.Agent.create("T1", sim_url=server.base_url())
        agent.run()

Nothing here imports from tests/.
"""
