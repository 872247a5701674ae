"""PluginRemote: the facade over the host's remote object."""
import pytest

from QorvelAPI.plugins import PluginBlock, PluginRemote


class HostRemote:
    """A host remote object that records what the facade passes it."""

    def __init__(self, name="Local", home="/home/u"):
        self.name, self.userHome, self.workDir, self.host = name, home, "/work", "cluster.example"
        self.calls = []
        self.result = None

    def command(self, command):
        self.calls.append(("command", command))
        return self.result if self.result is not None else f"ran {command}"

    def transferTo(self, source, destination):
        self.calls.append(("transferTo", source, destination))
        return self.result if self.result is not None else destination

    def transferFrom(self, source, destination):
        self.calls.append(("transferFrom", source, destination))
        return self.result if self.result is not None else destination

    def submitJob(self, script, changeDir):
        self.calls.append(("submitJob", script, changeDir))
        return self.result if self.result is not None else 1234

    def cd(self, path):
        self.calls.append(("cd", path))
        return Directory(self, path)


class Directory:
    def __init__(self, remote, path):
        self.remote, self.path = remote, path

    def __enter__(self):
        self.remote.calls.append(("enter", self.path))

    def __exit__(self, *exc):
        self.remote.calls.append(("exit", self.path))


def test_transfers_expand_home_on_the_remote_side_only():
    host = HostRemote()
    remote = PluginRemote(host)
    assert remote.sendData("a.txt", "~/data/a.txt") == "/home/u/data/a.txt"
    remote.sendData("~/a.txt", "/tmp/a.txt")
    remote.getData("~/run/out.log", "~/out.log")
    remote.sendData("x", "~/a~b")
    assert host.calls == [("transferTo", "a.txt", "/home/u/data/a.txt"), ("transferTo", "~/a.txt", "/tmp/a.txt"),
                          ("transferFrom", "/home/u/run/out.log", "~/out.log"),
                          ("transferTo", "x", "/home/u/a/home/ub")]
    host.userHome = "/other"  # read at each use
    assert remote.sendData("x", "~") == "/other"


def test_commands_jobs_and_cd():
    host = HostRemote()
    remote = PluginRemote(host)
    assert remote.remoteCommand("ls -l") == "ran ls -l"
    assert remote.submitJob("/jobs/run.sh") == 1234
    remote.submitJob("/jobs/run.sh", changeDir=False)
    assert host.calls[-2:] == [("submitJob", "/jobs/run.sh", True), ("submitJob", "/jobs/run.sh", False)]
    assert remote.cd == host.cd and "cd" in vars(remote)
    with remote.cd("/scratch"):
        remote.remoteCommand("pwd")
    assert host.calls[-4:] == [("cd", "/scratch"), ("enter", "/scratch"), ("command", "pwd"), ("exit", "/scratch")]
    del remote.cd  # the class-level operation asks the host for the same context manager
    with remote.cd("/x"):
        pass
    assert host.calls[-3] == ("cd", "/x")


def test_live_properties_and_is_local():
    host = HostRemote()
    remote = PluginRemote(host)
    assert (remote.userHome, remote.workDir, remote.name, remote.host) == ("/home/u", "/work", "Local",
                                                                          "cluster.example")
    assert remote.isLocal is True and remote._remote is host
    host.name = "local"
    assert remote.isLocal is False and remote.name == "local"
    host.workDir = None
    assert remote.workDir is None


@pytest.mark.parametrize("call, parameter", [
    (lambda r: r.remoteCommand(3), "command"),
    (lambda r: r.sendData(1, "b"), "source"),
    (lambda r: r.sendData("a", None), "destination"),
    (lambda r: r.getData(b"a", "b"), "source"),
    (lambda r: r.submitJob(["x"]), "script"),
    (lambda r: r.cd(1), "path"),
])
def test_argument_types_checked_before_delegating(call, parameter):
    host = HostRemote()
    remote = PluginRemote(host)
    del remote.cd
    with pytest.raises(TypeError, match=rf"^Argument '{parameter}' has incorrect type \(expected str, got "):
        call(remote)
    assert host.calls == []


@pytest.mark.parametrize("call, result, expected", [
    (lambda r: r.sendData("a", "b"), 5, "Expected str, got int"),
    (lambda r: r.getData("a", "b"), ["p"], "Expected str, got list"),
    (lambda r: r.submitJob("s"), "12", "Expected int, got str"),
    (lambda r: r.submitJob("s"), True, "Expected int, got bool"),
])
def test_result_types_enforced(call, result, expected):
    host = HostRemote()
    host.result = result
    with pytest.raises(TypeError, match=rf"^{expected}$"):
        call(PluginRemote(host))
    host.result = object()
    assert PluginRemote(host).remoteCommand("x") is host.result  # passed through unchecked


def test_property_types_and_host_errors_propagate():
    host = HostRemote()
    host.userHome = 3
    remote = PluginRemote(host)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        remote.userHome
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        remote.sendData("a", "~/b")

    class Broken(HostRemote):
        def command(self, command):
            raise ConnectionError("down")

    with pytest.raises(ConnectionError):
        PluginRemote(Broken()).remoteCommand("ls")
    with pytest.raises(AttributeError):
        PluginRemote(object())  # a host remote object without cd


def test_set_remote_wraps_host_object():
    host = HostRemote(name="cluster")
    block = PluginBlock("n", "d", lambda b: b.setOutput("o", b.remote.remoteCommand("hostname")), id="b").copy()
    block._outputs.append(__import__("QorvelAPI.plugins").plugins.PluginVariable("o", "O", "d", "string"))
    block._setRemote(host)
    assert block.remote.isLocal is False and block()["o"] == "ran hostname"
