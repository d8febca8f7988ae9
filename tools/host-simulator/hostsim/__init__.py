"""The Stream Deck host simulator as a package: the host (`hostsim.host`), the engine side of the D-Bus
contract (`hostsim.notifications`), scripted scenarios (`hostsim.scenario`) and the key rules of the
plug-in (`hostsim.keys`). host_simulator.py next to this folder is its command line; tests import the
package with this folder's parent on PYTHONPATH.
"""
