"""A local stand-in for the camera agent's cloud: directory, logic, relay and
upload servers, a discovery probe, a scripted scenario and a report.

Written from the wire protocol alone, so that it checks the agent instead of
agreeing with it. Python 3 standard library only.
"""
