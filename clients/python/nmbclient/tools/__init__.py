"""The nmb tool and what it is built from, on top of the nmbclient library.

- cli: the nmb command line (also python -m nmbclient);
- live: its commands that follow a run (watch, record, plot, dashboard);
- follower: RunFollower, a host's runs as a stream of volumes;
- cadence: how each live volume fits the ones before it (gap, late, repeated);
- recording: nmb record's files;
- baseline: percent signal change against a baseline window;
- plotting: nmb plot's figure (needs matplotlib);
- dashboard: nmb dashboard's web page and server.
"""
