"""What an action prints and logs is kept per block, in order, wherever the host shows a block."""
import json
import xml.etree.ElementTree as ET

from plugin_support import make_plugin_folder

META = {"id": "noisy", "name": "Noisy", "description": "d", "author": "a", "version": "1.0", "pluginFile": "main.py"}

SCRIPT = """
import logging, sys
from QorvelAPI.plugins import Plugin, PluginBlock

def talk(block):
    print("out one")
    print("err one", file=sys.stderr)
    logging.getLogger("noisy.work").warning("own %d", 1)
    logging.getLogger("Qorvel").error("on qorvel")
    logging.error("on root")
    print("out two")

plugin = Plugin()
plugin.addBlock(PluginBlock("Talk", "d", action=talk, id="talk"))
"""

LINES = "stderr: err one\nWARNING noisy.work: own 1\nERROR Qorvel: on qorvel\nERROR root: on root\n"


def test_stderr_and_log_records_reach_the_result_the_flow_and_the_reports(cli, tmp_path):
    folder = make_plugin_folder(tmp_path, META, SCRIPT)
    code, out, err = cli("run", folder, "talk", "--queue", "local", "--json")
    document = json.loads(out)
    block = document["blocks"][0]
    assert code == 0 and "err one" not in err
    assert [(e["stream"], e.get("level"), e["text"]) for e in block["output"]] == [
        ("stdout", None, "out one\n"), ("stderr", None, "err one\n"), ("log", "WARNING", "own 1"),
        ("log", "ERROR", "on qorvel"), ("log", "ERROR", "on root"), ("stdout", None, "out two\n")]
    assert block["blockLogs"] == LINES and block["printed"] == "out one\nout two\n"
    saved = json.loads(open(document["savedTo"]).read())
    assert saved["blocks"][0]["state"]["blockLogs"] == LINES
    (folder / "Tests").mkdir()
    (folder / "Tests" / "talk.json").write_text(json.dumps({"name": "talks", "block": "talk"}))
    code, out, _ = cli("test", folder, "--junit-xml", tmp_path / "j.xml", "--html", tmp_path / "r.html")
    assert code == 0
    assert [e.text for e in ET.parse(tmp_path / "j.xml").getroot().iter("system-err")] == [LINES]
    assert "WARNING noisy.work: own 1" in (tmp_path / "r.html").read_text()
