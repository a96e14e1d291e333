"""The extension module's surface: its nine attributes in order, the classes, readable signatures."""

import inspect
import pathlib
import tomllib

import pytest

import sigtap._sigtap as m

IMPORT_SYSTEM = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_the_nine_attributes_in_order_and_the_classes_made_only_here():
    assert [name for name in vars(m) if name not in IMPORT_SYSTEM] == [
        "__version__", "Error", "Message", "_Channel", "_Subscription", "Periodic", "_open", "register_transport",
        "register_codec"]
    pyproject = tomllib.loads((pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text())
    assert (m.__doc__, m.__version__, m.Error.__bases__) == ("", pyproject["project"]["version"], (Exception,))
    classes = (m.Error, m.Message, m._Channel, m._Subscription, m.Periodic)
    assert [f"{c.__module__}.{c.__qualname__}" for c in classes] == [
        "sigtap.Error", "sigtap.Message", "sigtap._sigtap._Channel", "sigtap._sigtap._Subscription", "sigtap.Periodic"]
    for cls in classes[2:]:
        with pytest.raises(TypeError, match="^cannot create '.*' instances$"):
            cls()


# help() and inspect read the signature from the docstring's first line: a malformed one leaves them nothing.
def test_every_public_callable_has_a_readable_signature():
    methods = [getattr(c, n) for c in (m._Channel, m._Subscription, m.Periodic) for n in vars(c)
               if not n.startswith("__") and callable(getattr(c, n))]
    for obj in [m.Message, m._open, m.register_transport, m.register_codec, *methods]:
        assert obj.__text_signature__ and inspect.signature(obj), obj


# The library's state is the process's (the exit hook, the workers): a subinterpreter may not import it, and trying
# leaves the main interpreter's subscriptions working.
def test_a_subinterpreter_cannot_import_it_and_the_main_interpreter_is_unaffected(run_python):
    pytest.importorskip("_xxsubinterpreters")
    result = run_python("""
        import time
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import sigtap")
        except interpreters.RunFailedError as e:
            print(e)
        interpreters.destroy(sub)
        import sigtap
        tx, rx, items = sigtap.open("mem://s"), sigtap.open("mem://s"), []
        handle = rx.subscribe(lambda m: items.append(m) or True)
        tx.send(sigtap.Message(data=b"x"))
        for _ in range(1000):
            if items:
                break
            time.sleep(0.01)
        print(handle.running, len(items))
    """)
    assert "ImportError'>: sigtap can be imported only in the main interpreter, not in a subinterpreter\n" in result.stdout
    assert result.stdout.endswith("\nTrue 1\n"), result.stderr
