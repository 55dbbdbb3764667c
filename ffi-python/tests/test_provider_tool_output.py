"""What the provider tools print reaches the program exact, whatever the host's
Python settings, or the lookup fails cleanly; and the names in a reference
never choose the hint of a failure.

Both tools are Python programs that print their JSON answer through
sys.stdout in text mode, so the PYTHONIOENCODING and the locale they inherit
decide its bytes. The stand-ins here do exactly that; the stand-in `az` also
does what az's command framework does with a character it cannot encode:
warns on standard error unless only_show_errors is on, prints the value again
with every non-ASCII character dropped and exits with 0. They are started
either straight from their own `#!` line or, as az's Debian, RPM and
Homebrew packages start az, by a shell script that runs the interpreter in
isolated mode (-I), which ignores every PYTHON* variable."""
import json
import os
import shutil
import socket
import subprocess
import sys
import textwrap

import pytest

from checks import raises_exactly
from vaultfiles import reference
from zantu_ffi import ZantuError

# The host settings under which the real aws CLI once handed over a changed
# value with status 0 ("\u00c3\u00a9" stored, "\u00e9" injected under latin-1;
# "pw\u00e9" stored, "pw?" injected under ascii:replace; ...).
HOST_SETTINGS = ["latin-1", "cp1252", "ascii:replace", "latin-1:replace"]

VALUES = {
    "mojibake": "\u00c3\u00a9",
    "mojibake-quote": "\u00e2\u20ac\u2122",
    "e-acute": "\u00e9",
    "quote": "\u2019",
    "pw": "pw\u00e9",
    "nihon": "\u65e5\u672c",
    "mixed": "caf\u00e9 \u65e5\u672c \U0001F511",
}
LONE_SURROGATE = "ab\udc80c\u00e9"

STAND_INS = {
    "aws": textwrap.dedent("""\
        #!{python}
        import json, sys
        secrets = json.load(open({table!r}))
        args = sys.argv[1:]
        if args[:3] != ["secretsmanager", "get-secret-value", "--secret-id"] or args[4] != "--region" or args[6:] != [
                "--query", "SecretString", "--output", "json"]:
            sys.exit(252)
        if isinstance(secrets.get(args[3]), dict):
            sys.stderr.write(secrets[args[3]]["stderr"])
            sys.exit(secrets[args[3]]["exit"])
        if args[3] not in secrets:
            sys.stderr.write("An error occurred (ResourceNotFoundException) when calling the GetSecretValue "
                             "operation: Secrets Manager can't find the specified secret.\\n")
            sys.exit(254)
        print(json.dumps(secrets[args[3]], indent=4, ensure_ascii=False))
    """),
    "az": textwrap.dedent("""\
        #!{python}
        import configparser, json, os, sys
        STATES = {{"1": True, "yes": True, "true": True, "on": True,
                   "0": False, "no": False, "false": False, "off": False}}
        def only_show_errors():
            # The environment first, then the config file, as az reads its settings.
            env = os.environ.get("AZURE_CORE_ONLY_SHOW_ERRORS")
            if env is not None:
                return STATES[env.lower()]
            config = configparser.ConfigParser()
            config.read(os.path.join(os.environ.get("AZURE_CONFIG_DIR") or os.path.expanduser("~/.azure"), "config"))
            return config.getboolean("core", "only_show_errors", fallback=False)
        secrets = json.load(open({table!r}))
        args = sys.argv[1:]
        if args[:4] != ["keyvault", "secret", "show", "--vault-name"] or args[5] != "--name" or args[7:] != [
                "--query", "value", "-o", "json"]:
            sys.exit(2)
        if isinstance(secrets.get(args[6]), dict):
            sys.stderr.write(secrets[args[6]]["stderr"])
            sys.exit(secrets[args[6]]["exit"])
        if args[6] not in secrets:
            sys.stderr.write("ERROR: (SecretNotFound) A secret with (name/id) " + args[6] + " was not found in "
                             "this key vault. If you recently deleted this secret you may be able to recover it "
                             "using the correct recovery command.\\n")
            sys.exit(3)
        out = json.dumps(secrets[args[6]], indent=2, ensure_ascii=False)
        try:
            print(out)
        except UnicodeEncodeError:
            if not only_show_errors():
                sys.stderr.write("WARNING: Unable to encode the output with " + sys.stdout.encoding + " encoding. "
                                 "Unsupported characters are discarded.\\n")
            print(out.encode("ascii", errors="ignore").decode())
    """),
}

REFS = {"aws": "aws-sm://eu-west-1/{}", "az": "azure-kv://kv1/{}"}


class StandIns:
    """The stand-in `aws` and `az`, first on PATH, answering from a table of
    secrets by name, whatever the region or vault; calling it fills the table.
    A secret given as {"stderr": text, "exit": code} fails that way."""

    def __init__(self, tmp_path):
        self.bindir = tmp_path / "fakebin"
        self.bindir.mkdir()
        self.table = tmp_path / "secrets.json"
        for tool, source in STAND_INS.items():
            (tmp_path / f"{tool}.py").write_text(source.format(python=sys.executable, table=str(self.table)))
        self.launched(isolated=None)

    def __call__(self, secrets):
        self.table.write_text(json.dumps(secrets))

    def launched(self, isolated):
        """Each tool started from its `#!` line (None), or by a shell script
        that runs the interpreter with -I (True) or without (False)."""
        for tool in STAND_INS:
            source = self.bindir.parent / f"{tool}.py"
            path = self.bindir / tool
            if isolated is None:
                shutil.copyfile(source, path)
            else:
                path.write_text(f"#!/bin/sh\nexec '{sys.executable}' {'-I ' if isolated else ''}'{source}' \"$@\"\n")
            path.chmod(0o755)


@pytest.fixture
def stand_ins(tmp_path, monkeypatch):
    tools = StandIns(tmp_path)
    monkeypatch.setenv("PATH", f"{tools.bindir}:{os.environ['PATH']}")
    monkeypatch.delenv("PYTHONIOENCODING", raising=False)
    return tools


@pytest.fixture(scope="session")
def latin1_locale(tmp_path_factory):
    """A scratch directory holding one locale, fr_FR.ISO-8859-1 (latin-1),
    for LOCPATH; scripts/setup installs localedef and its sources."""
    locales = tmp_path_factory.mktemp("locales")
    subprocess.run(["localedef", "-i", "fr_FR", "-f", "ISO-8859-1", str(locales / "fr_FR.ISO-8859-1")],
                   capture_output=True)
    assert (locales / "fr_FR.ISO-8859-1" / "LC_CTYPE").exists(), "localedef could not build fr_FR.ISO-8859-1"
    return str(locales)


@pytest.fixture
def latin1_host(latin1_locale, monkeypatch):
    for name, value in {"LOCPATH": latin1_locale, "LC_ALL": "fr_FR.ISO-8859-1", "LANG": "fr_FR.ISO-8859-1"}.items():
        monkeypatch.setenv(name, value)


# How the user turned az's only_show_errors on: (AZURE_CORE_ONLY_SHOW_ERRORS,
# `[core] only_show_errors = true` in ~/.azure/config).
ONLY_SHOW_ERRORS = {"off": (None, False), "environment": ("true", False), "config": (None, True)}


@pytest.fixture
def only_show_errors(tmp_path, monkeypatch):
    """Sets az's only_show_errors as ONLY_SHOW_ERRORS names, in a home of the
    test's own."""
    home = tmp_path / "home"
    (home / ".azure").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("AZURE_CONFIG_DIR", raising=False)

    def turned(how):
        env, config = ONLY_SHOW_ERRORS[how]
        if env is None:
            monkeypatch.delenv("AZURE_CORE_ONLY_SHOW_ERRORS", raising=False)
        else:
            monkeypatch.setenv("AZURE_CORE_ONLY_SHOW_ERRORS", env)
        (home / ".azure" / "config").write_text("[core]\nonly_show_errors = true\n" if config else "")

    return turned


def inject_each(vault, tmp_path, refs):
    """Injects every reference of `refs` (variable -> reference text) into one
    run whose program writes each variable to a file of its own; returns the
    bytes each variable held."""
    lines = []
    for i, (var, ref) in enumerate(refs.items()):
        vault.plant(reference(f"dev/app/r{i}", ref))
        lines.append(f"{var}=secret:dev/app/r{i}\n")
    script = "; ".join(f"printf %s \"${var}\" > '{tmp_path / var}'" for var in refs)
    out = vault.session().inject_run("".join(lines), "dev", "/bin/sh", ["-c", script])
    assert out["status"] == 0, out
    return {var: (tmp_path / var).read_bytes() for var in refs}


@pytest.mark.parametrize("setting", HOST_SETTINGS)
def test_values_arrive_exact_whatever_the_hosts_io_encoding(vault, stand_ins, tmp_path, monkeypatch, setting):
    stand_ins(VALUES)
    monkeypatch.setenv("PYTHONIOENCODING", setting)
    monkeypatch.setenv("PYTHONUTF8", "0")
    refs = {f"{tool.upper()}_{i}": REFS[tool].format(name) for tool in REFS for i, name in enumerate(VALUES)}
    got = inject_each(vault, tmp_path, refs)
    for tool in REFS:
        for i, value in enumerate(VALUES.values()):
            assert got[f"{tool.upper()}_{i}"] == value.encode(), (tool, value)


def test_az_that_drops_what_it_cannot_encode_gives_no_value(vault, stand_ins, tmp_path):
    # Under "utf-8:strict" only a lone surrogate cannot be encoded; az then
    # prints "abc\u00e9" and exits with 0. The aws stand-in fails outright.
    stand_ins({"lone": LONE_SURROGATE})
    marker = tmp_path / "ran"
    cases = {
        "az": "provider error: azure-kv: `az` could not encode the value of secret `lone` in vault `kv1` and "
              "printed it with characters dropped (output withheld)",
        "aws": "provider error: aws-sm: the `aws` invocation failed [region=`eu-west-1`, secret=`lone`, exit=1]",
    }
    for i, (tool, message) in enumerate(cases.items()):
        vault.plant(reference(f"dev/app/{tool}", REFS[tool].format("lone")))
        raises_exactly(ZantuError, message, vault.session().inject_run, f"V=secret:dev/app/{tool}\n", "dev",
                       "/bin/sh", ["-c", f"printf %s \"$V\" > '{marker}'"])
        assert not marker.exists(), tool


def test_a_lookup_too_large_to_start_names_the_variable_not_a_missing_tool(vault, stand_ins, tmp_path, monkeypatch):
    stand_ins({"db": "value"})
    for tool in REFS:
        vault.plant(reference(f"dev/app/{tool}", REFS[tool].format("db")))
    session = vault.session()
    # Set only now: the planting runs programs of its own.
    monkeypatch.setenv("BIG", "b" * 131072)
    reason = ("cannot be started: variable `BIG` of the host's environment is too long to be passed: one environment "
              "string holds at most 131072 bytes, `BIG=` and the final NUL included")
    marker = tmp_path / "ran"
    for tool, prefix in {"aws": "aws-sm: `aws`", "az": "azure-kv: `az`"}.items():
        raises_exactly(ZantuError, f"provider error: {prefix} {reason}", session.inject_run,
                       f"V=secret:dev/app/{tool}\n", "dev", "/bin/sh", ["-c", f"touch '{marker}'"])
        assert not marker.exists(), tool


# Under a latin-1 host locale, tools started with -I once gave "\u00e9" for
# "\u00c3\u00a9", failed on "\u00e9", and with only_show_errors on gave "caf "
# for "caf\u00e9 \u65e5\u672c", with status 0.
LATIN1_HOST_VALUES = ["\u00e9", "pw\u00e9\u2019", "caf\u00e9 \u65e5\u672c", "\u00c3\u00a9",
                      "pw\u00c3\u00a9\u00e2\u0080\u0099"]


@pytest.mark.parametrize("how", ONLY_SHOW_ERRORS)
def test_tools_started_as_packaged_print_values_exact_under_a_latin1_locale(vault, stand_ins, latin1_host,
                                                                           only_show_errors, tmp_path, how):
    stand_ins.launched(isolated=True)
    stand_ins({f"v{i}": value for i, value in enumerate(LATIN1_HOST_VALUES)})
    only_show_errors(how)
    refs = {f"{tool.upper()}_{i}": REFS[tool].format(f"v{i}") for tool in REFS for i in range(len(LATIN1_HOST_VALUES))}
    got = inject_each(vault, tmp_path, refs)
    for tool in REFS:
        for i, value in enumerate(LATIN1_HOST_VALUES):
            assert got[f"{tool.upper()}_{i}"] == value.encode(), (tool, value)


# Not Unicode text: with only_show_errors on, az once printed it as "psswrd"
# with status 0, under -I on this host and without -I on any host.
@pytest.mark.parametrize("how", ONLY_SHOW_ERRORS)
@pytest.mark.parametrize("isolated", [True, False])
def test_a_lone_surrogate_fails_the_lookup_whatever_the_launcher(vault, stand_ins, latin1_host, only_show_errors,
                                                                 tmp_path, isolated, how):
    stand_ins.launched(isolated)
    stand_ins({"lone": "p\u00e4ss\udc80w\u00f6rd"})
    only_show_errors(how)
    marker = tmp_path / "ran"
    for tool in REFS:
        vault.plant(reference(f"dev/app/{tool}", REFS[tool].format("lone")))
        with pytest.raises(ZantuError) as info:
            vault.session().inject_run(f"V=secret:dev/app/{tool}\n", "dev", "/bin/sh",
                                       ["-c", f"printf %s \"$V\" > '{marker}'"])
        assert type(info.value) is ZantuError
        assert info.value.args[0].startswith(("provider error: aws-sm: ", "provider error: azure-kv: ")), tool
        assert not marker.exists(), tool


def test_a_name_holding_a_pattern_does_not_choose_the_hint(vault, stand_ins):
    # "credential" selects the access hint; the secret is simply missing.
    stand_ins({})
    vault.plant(reference("dev/app/db", "azure-kv://kv1/db-credential"))
    raises_exactly(ZantuError,
                   "provider error: azure-kv: the secret was not found in the vault (check the name and your "
                   "access) [vault=`kv1`, secret=`db-credential`, exit=3]",
                   vault.session().inject_run, "DB=secret:dev/app/db\n", "dev", "/bin/sh", ["-c", "true"])


AWS_ACCESS_HINT = ("aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; check the "
                   "IAM permission for secretsmanager:GetSecretValue)")
AWS_ENDPOINT_HINT = "the region endpoint is unreachable or the region is invalid"
NO_CREDENTIALS = "Unable to locate credentials. You can configure credentials by running \"aws configure\".\n"

# A name that is one of the tool's own words keeps the hint of a pattern that
# holds it: (reference, the tool's error output and exit code, hint).
OWN_WORD_NAMES = [
    ("aws-sm://eu-west-1/credentials", NO_CREDENTIALS, 255, AWS_ACCESS_HINT),
    ("aws-sm://eu-west-1/locate", NO_CREDENTIALS, 255, AWS_ACCESS_HINT),
    ("aws-sm://endpoint/app", "\nCould not connect to the endpoint URL: \"https://secretsmanager.endpoint.amazonaws.com/\"\n",
     255, AWS_ENDPOINT_HINT),
    ("azure-kv://please/login", "ERROR: Please run 'az login' to setup account.\n", 1,
     "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)"),
    ("azure-kv://kv1/not", "ERROR: Secret not found\n", 3,
     "the secret was not found in the vault (check the name and your access)"),
    ("azure-kv://resolve/s1", "ERROR: Failed to resolve 'resolve.vault.azure.net'\n", 1,
     "the vault was not found or is unreachable"),
]


def failed_lookup(ref, hint, status):
    """The message of a failed lookup of `ref`, as both providers word it."""
    scheme, _, rest = ref.partition("://")
    place, _, name = rest.partition("/")
    label = "region" if scheme == "aws-sm" else "vault"
    return f"provider error: {scheme}: {hint} [{label}=`{place}`, secret=`{name}`, exit={status}]"


def test_a_name_that_is_one_of_the_tools_words_keeps_the_hint(vault, stand_ins):
    stand_ins({ref.rpartition("/")[2]: {"stderr": err, "exit": status} for ref, err, status, _ in OWN_WORD_NAMES})
    for i, (ref, _, status, hint) in enumerate(OWN_WORD_NAMES):
        vault.plant(reference(f"dev/app/r{i}", ref))
        raises_exactly(ZantuError, failed_lookup(ref, hint, status), vault.session().inject_run,
                       f"V=secret:dev/app/r{i}\n", "dev", "/bin/sh", ["-c", "true"])


# A loopback stand-in for Secrets Manager's GetSecretValue, run as a process of
# its own: the module holds the interpreter lock while the tool runs.
FAKE_SERVICE = textwrap.dedent("""\
    import json, sys
    from http.server import BaseHTTPRequestHandler, HTTPServer
    secrets = json.load(open(sys.argv[1]))
    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            name = json.loads(self.rfile.read(int(self.headers["Content-Length"])))["SecretId"]
            if name in secrets:
                status, body = 200, {"ARN": "arn:aws:secretsmanager:eu-west-1:123456789012:secret:" + name,
                                     "Name": name, "SecretString": secrets[name], "VersionId": "v1"}
            else:
                status, body = 400, {"__type": "ResourceNotFoundException",
                                     "Message": "Secrets Manager can't find the specified secret."}
            out = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/x-amz-json-1.1")
            self.send_header("Content-Length", str(len(out)))
            self.end_headers()
            self.wfile.write(out)
        def log_message(self, *args):
            pass
    server = HTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()
""")


def real_aws():
    tool = shutil.which("aws")
    if tool is None:
        return None
    try:
        ok = subprocess.run([tool, "--version"], capture_output=True, timeout=60).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    return tool if ok else None


@pytest.fixture
def loopback_service(tmp_path, monkeypatch):
    """The real `aws` pointed at the loopback stand-in; returns the function
    that starts the stand-in with a table of secrets."""
    if real_aws() is None:
        pytest.skip("needs the aws CLI")
    servers = []

    def holding(secrets):
        table = tmp_path / "service.json"
        table.write_text(json.dumps(secrets))
        script = tmp_path / "service.py"
        script.write_text(FAKE_SERVICE)
        server = subprocess.Popen([sys.executable, str(script), str(table)], stdout=subprocess.PIPE)
        servers.append(server)
        port = int(server.stdout.readline())
        for name, value in {"AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}", "AWS_ACCESS_KEY_ID": "AKIDEXAMPLE",
                            "AWS_SECRET_ACCESS_KEY": "example", "AWS_EC2_METADATA_DISABLED": "true",
                            "AWS_CONFIG_FILE": str(tmp_path / "no-config"),
                            "AWS_SHARED_CREDENTIALS_FILE": str(tmp_path / "no-credentials")}.items():
            monkeypatch.setenv(name, value)
        monkeypatch.delenv("AWS_PROFILE", raising=False)

    yield holding
    for server in servers:
        server.kill()
        server.wait()


# Each host setting with the value stored that once came out changed.
REAL_CLI_ROWS = [("latin-1", "\u00c3\u00a9"), ("cp1252", "\u00e2\u20ac\u2122"), ("ascii:replace", "pw\u00e9"),
                 ("latin-1:replace", "\u65e5\u672c")]


def test_real_aws_cli_values_arrive_exact_whatever_the_hosts_io_encoding(vault, loopback_service, tmp_path,
                                                                       monkeypatch):
    loopback_service({f"row-{i}": value for i, (_, value) in enumerate(REAL_CLI_ROWS)} | {"lone": LONE_SURROGATE})
    for i, (setting, value) in enumerate(REAL_CLI_ROWS):
        monkeypatch.setenv("PYTHONIOENCODING", setting)
        got = inject_each(vault, tmp_path, {"V": f"aws-sm://eu-west-1/row-{i}"})
        assert got["V"] == value.encode(), setting
    # A value the tool cannot print as UTF-8 fails the lookup, whatever the hint.
    vault.plant(reference("dev/app/lone", "aws-sm://eu-west-1/lone"))
    with pytest.raises(ZantuError) as info:
        vault.session().inject_run("V=secret:dev/app/lone\n", "dev", "/bin/sh", ["-c", "true"])
    assert type(info.value) is ZantuError
    assert info.value.args[0].startswith("provider error: aws-sm: "), info.value.args


def test_real_aws_cli_a_name_that_is_one_of_its_words_keeps_the_hint(vault, tmp_path, monkeypatch):
    if real_aws() is None:
        pytest.skip("needs the aws CLI")
    for name in ["AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE",
                 "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "AWS_CONTAINER_CREDENTIALS_FULL_URI",
                 "AWS_WEB_IDENTITY_TOKEN_FILE"]:
        monkeypatch.delenv(name, raising=False)
    for name, value in {"AWS_CONFIG_FILE": str(tmp_path / "no-config"),
                        "AWS_SHARED_CREDENTIALS_FILE": str(tmp_path / "no-credentials"),
                        "AWS_EC2_METADATA_DISABLED": "true", "AWS_MAX_ATTEMPTS": "1"}.items():
        monkeypatch.setenv(name, value)
    # Bound and never listening: a connection to it is refused at once.
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        monkeypatch.setenv("AWS_ENDPOINT_URL", f"http://127.0.0.1:{closed.getsockname()[1]}")
        for i, ref in enumerate(["aws-sm://eu-west-1/credentials", "aws-sm://eu-west-1/locate"]):
            vault.plant(reference(f"dev/app/r{i}", ref))
            raises_exactly(ZantuError, failed_lookup(ref, AWS_ACCESS_HINT, 255), vault.session().inject_run,
                           f"V=secret:dev/app/r{i}\n", "dev", "/bin/sh", ["-c", "true"])
        monkeypatch.setenv("AWS_ACCESS_KEY_ID", "AKIDEXAMPLE")
        monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "example")
        vault.plant(reference("dev/app/endpoint", "aws-sm://endpoint/app"))
        raises_exactly(ZantuError, failed_lookup("aws-sm://endpoint/app", AWS_ENDPOINT_HINT, 255),
                       vault.session().inject_run, "V=secret:dev/app/endpoint\n", "dev", "/bin/sh", ["-c", "true"])
