#!/usr/bin/python3
# The exporter's Redfish service as Ironic sees it, through sushy, its
# client library: prints as JSON every system it lists with what it reads
# of it, and what a ForceRestart came to for each user and system asked.
#   redfish_sushy.py URL CA_FILE PASSWORD READER [[basic/]USER:SYSTEM_ID...]
import json
import logging
import sys

import sushy
import sushy.auth
from sushy import exceptions

logging.basicConfig(level=logging.ERROR)
url, ca, password, reader = sys.argv[1:5]
asked = [a.split(":", 1) for a in sys.argv[5:]]


def value(v):
    return getattr(v, "value", v)


def connect(user):
    # "basic/NAME": HTTP basic auth on every request (Ironic's
    # redfish_auth_type=basic); otherwise a session where one can be had.
    if user.startswith("basic/"):
        auth = sushy.auth.BasicAuth(username=user[6:], password=password)
        return sushy.Sushy(url, auth=auth, verify=ca)
    return sushy.Sushy(url, username=user, password=password, verify=ca)


root = connect(reader)
out = {"uuid": root.uuid, "systems": {}, "resets": []}
for s in root.get_system_collection().get_members():
    out["systems"][s.identity] = {
        "path": s.path,
        "power": value(s.power_state),
        "state": value(s.status.state) if s.status else None,
        "processors": s.processors.summary.count,
        "memory_gib": s.memory_summary.size_gib if s.memory_summary else None,
        "host": s.hostname,
        # (sushy reads no addresses of an interface: they are in its JSON.)
        "addresses": [a["Address"] for e in s.ethernet_interfaces.get_members()
                      for a in e.json.get("IPv4Addresses", [])],
        "resets": sorted(value(v) for v in s.get_allowed_reset_system_values()),
    }
for user, system in asked:
    path = [v["path"] for k, v in out["systems"].items() if k == system]
    try:
        connect(user).get_system(path[0]).reset_system(sushy.RESET_FORCE_RESTART)
        said = "ok"
    except exceptions.AccessError as e:
        said = "refused %d" % e.status_code
    except exceptions.HTTPError as e:
        said = "error %d: %s" % (e.status_code, e.detail)
    out["resets"].append({"user": user, "system": system, "said": said})
print(json.dumps(out))
