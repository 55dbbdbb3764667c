"""request_secret on real vault roots: the intake file it leaves, its id, the
project rules and the refusals."""
import os
import stat
import time

import pytest

from checks import raises_exactly
from vaultfiles import foreseen_ids, literal
from zantu_ffi import ZantuError, ZantuNotFound


def intake_dir(vault):
    return os.path.join(vault.root, "intake")


def filed(vault, request_id):
    with open(os.path.join(intake_dir(vault), request_id + ".json"), "rb") as f:
        return f.read()


def check_id(request_id, before, after):
    """The id's form, "<seconds>-<pid>-<seq>", with its seconds in [before, after]."""
    seconds, pid, seq = request_id.split("-")
    assert seconds.isdigit() and pid.isdigit() and seq.isdigit()
    assert before <= int(seconds) <= after
    assert int(pid) == os.getpid()
    return int(seconds), int(seq)


def test_only_a_coordinate(vault):
    s = vault.session()
    before = int(time.time())
    request_id = s.request_secret("secret:dev/app/token")
    after = int(time.time())
    seconds, seq = check_id(request_id, before, after)
    assert seq == 0
    data = filed(vault, request_id)
    created = int(data.split(b'"created_unix":')[1].split(b",")[0])
    assert created - seconds in (0, 1)
    assert data == (
        f'{{"id":"{request_id}","created_unix":{created},"coordinate":"secret:dev/app/token",'
        '"sensitivity":"medium","environment":"dev","origin":"agent","requesting_process":null,'
        '"description":null,"project":null}').encode()
    assert os.listdir(intake_dir(vault)) == [request_id + ".json"]
    assert stat.S_IMODE(os.stat(intake_dir(vault)).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(os.path.join(intake_dir(vault), request_id + ".json")).st_mode) == 0o600
    # Intake requests are not audited.
    assert vault.audit() == []


@pytest.mark.parametrize(
    "coordinate, kwargs, rest",
    [
        ("secret:prod/app/token", {},
         '"sensitivity":"medium","environment":"prod","origin":"agent","requesting_process":null,'
         '"description":null,"project":null'),
        ("secret://global/prod/app/token#private", {"sensitivity": "Inject_Only"},
         '"sensitivity":"inject-only","environment":"prod","origin":"agent","requesting_process":null,'
         '"description":null,"project":null'),
        ("secret:dev/app/token", {"sensitivity": "LOW", "description": 'the "CI" token\n\ttab\x01',
                                  "project": "shop", "client_identity": "mcp-client-7"},
         '"sensitivity":"low","environment":"dev","origin":"agent","requesting_process":"mcp-client-7",'
         '"description":"the \\"CI\\" token\\n\\ttab\\u0001","project":"shop"'),
        ("secret:dev/app/token", {"project": " ", "description": ""},
         '"sensitivity":"medium","environment":"dev","origin":"agent","requesting_process":null,'
         '"description":"","project":" "'),
    ],
)
def test_filed_fields(vault, coordinate, kwargs, rest):
    request_id = vault.session().request_secret(coordinate, **kwargs)
    data = filed(vault, request_id).decode()
    head, tail = data.split(f',"coordinate":"{coordinate}",')
    assert head.startswith(f'{{"id":"{request_id}","created_unix":')
    assert tail == rest + "}"


def test_coordinate_with_a_record_and_unreadable_vaults_is_filed_all_the_same(vault):
    vault.plant(literal("dev/app/token", b"v"))
    s = vault.session()
    # Nothing is read from a vault: a broken record file plays no part.
    with open(vault.record_file("dev/app/bad"), "wb") as f:
        f.write(b"garbage")
    for coordinate in ("secret:dev/app/token", "secret:dev/app/bad"):
        assert filed(vault, s.request_secret(coordinate))


def test_requests_in_one_second_get_files_of_their_own(vault):
    s = vault.session()
    ids = [s.request_secret(f"secret:dev/app/t{i}") for i in range(4)]
    assert len(set(ids)) == 4
    assert sorted(os.listdir(intake_dir(vault))) == sorted(i + ".json" for i in ids)
    # Within one second the sequence counts up from 0.
    by_second = {}
    for request_id in ids:
        seconds, seq = check_id(request_id, 0, int(time.time()))
        by_second.setdefault(seconds, []).append(seq)
    for seqs in by_second.values():
        assert seqs == list(range(len(seqs)))
    for i, request_id in enumerate(ids):
        assert f'"coordinate":"secret:dev/app/t{i}"'.encode() in filed(vault, request_id)


def test_a_taken_name_is_never_replaced(vault):
    s = vault.session()
    # Another request already holds sequence 0 of every second this call can fall in.
    os.makedirs(intake_dir(vault))
    now = int(time.time())
    for seconds in range(now, now + 30):
        with open(os.path.join(intake_dir(vault), f"{seconds}-{os.getpid()}-0.json"), "wb") as f:
            f.write(b"another request")
    request_id = s.request_secret("secret:dev/app/token")
    assert request_id.endswith("-1")
    assert b'"coordinate":"secret:dev/app/token"' in filed(vault, request_id)
    for seconds in range(now, now + 30):
        assert filed(vault, f"{seconds}-{os.getpid()}-0") == b"another request"


def test_a_link_at_the_temporary_name_is_never_written_through(vault, tmp_path):
    outside = tmp_path / "outside"
    outside.write_bytes(b"a file of the user's")
    os.makedirs(intake_dir(vault))
    for request_id in foreseen_ids(seqs=1):
        os.link(outside, os.path.join(intake_dir(vault), request_id + ".tmp"))
    request_id = vault.session().request_secret("secret:dev/app/token")
    assert request_id.endswith("-1")
    assert b'"coordinate":"secret:dev/app/token"' in filed(vault, request_id)
    assert outside.read_bytes() == b"a file of the user's"
    assert os.stat(outside).st_nlink == 31


@pytest.mark.parametrize(
    "projects, addressed",
    [
        (None, True),
        ([""], True),
        (["shop"], False),
    ],
)
def test_empty_project_is_filed_as_none(vault, projects, addressed):
    s = vault.session(projects=projects)
    if not addressed:
        raises_exactly(ZantuNotFound, "not addressable", s.request_secret, "secret:dev/app/token", project="")
        assert not os.path.exists(intake_dir(vault))
        return
    request_id = s.request_secret("secret:dev/app/token", project="")
    assert filed(vault, request_id).endswith(b'"project":null}')


@pytest.mark.parametrize("name", [".", "..", "../x", "/abs", "a/b", "a/", "a\0b", "\0"])
def test_project_names_that_are_not_one_directory_are_refused(vault, name):
    s = vault.session()
    raises_exactly(ZantuError, f"invalid project name `{name}`", s.request_secret, "secret:dev/app/token",
                   project=name)
    assert not os.path.exists(intake_dir(vault))


@pytest.mark.parametrize(
    "coordinate, scope, kwargs, exc, message",
    [
        ("secret:dev/app", {"operations": ["metadata"]}, {}, ZantuError,
         "invalid coordinate URI: coordinate must have exactly three segments"),
        ("secret:${ENV}/app/token", {}, {}, ZantuError,
         "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder "
         "(a coordinate must be concrete, not ${ENV})"),
        ("secret:dev/app/token", {"operations": ["metadata", "reveal", "inject"]}, {"sensitivity": "hgh"},
         ZantuNotFound, "not addressable"),
        ("secret:dev/app/token", {"environments": ["staging"]}, {}, ZantuNotFound, "not addressable"),
        ("secret:dev/app/token", {"projects": ["shop"]}, {}, ZantuNotFound, "not addressable"),
        ("secret:dev/app/token", {"projects": ["shop"]}, {"project": ".."}, ZantuNotFound, "not addressable"),
        ("secret:dev/app/token", {}, {"sensitivity": " high"}, ZantuError,
         "unknown sensitivity ` high` (expected low|medium|high|inject-only)"),
    ],
)
def test_refusals_file_nothing(vault, coordinate, scope, kwargs, exc, message):
    s = vault.session(**scope)
    raises_exactly(exc, message, s.request_secret, coordinate, **kwargs)
    assert not os.path.exists(intake_dir(vault))
    assert vault.audit() == []


def test_write_failure(vault):
    s = vault.session()
    # "intake" is a file, so nothing can be written beneath it.
    with open(intake_dir(vault), "wb"):
        pass
    raises_exactly(ZantuError, "vault I/O failed: write intake: Not a directory (os error 20)", s.request_secret,
                   "secret:dev/app/token")


@pytest.mark.parametrize(
    "args, kwargs, note",
    [
        ((b"secret:dev/app/token",), {}, "coordinate"),
        (("secret:dev/app/token", 1), {}, "sensitivity"),
        (("secret:dev/app/token",), {"description": b"d"}, "description"),
        (("secret:dev/app/token", None, None, 5), {}, "project"),
        (("secret:dev/app/token",), {"client_identity": ["x"]}, "client_identity"),
    ],
)
def test_argument_conversion(vault, args, kwargs, note):
    s = vault.session()
    with pytest.raises(TypeError) as info:
        s.request_secret(*args, **kwargs)
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert not os.path.exists(intake_dir(vault))
