"""The deployment's parts on loopback addresses of one machine.

`make run` (scripts/run-demo) and the deployment tests start the same pieces
an operator installs from deploy/, each on a 127.x.y.z address of its own:

  nginx + fcgiwrap   the load balancer CGI (build/loadbalance.cgi) and the
                     sample website (site/), with the server blocks of
                     deploy/nginx/ adapted to the address, port and paths;
  rendering servers  build/corvanta-server on port 80 of their own address,
                     as the client always reaches them there.

Everything started is stopped by `Stack.stop()`; the files live in one work
folder that is removed with it unless asked to keep it."""
import errno
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEPLOY = os.path.join(SOURCE, "deploy")

# The sample website's own name; the rendering servers map it to the
# loopback address nginx serves it on.
SITE_HOST = "www.corvanta.example"
SITE_START = SITE_HOST + "/"

# Paths the deploy/ files name, and what stands for them here.
INSTALLED_CGI = "/usr/local/lib/corvanta/loadbalance.cgi"
INSTALLED_CONF = "/etc/corvanta/balancer.conf"
INSTALLED_SITE = "/usr/local/share/corvanta/site"
INSTALLED_SOCKET = "unix:/run/fcgiwrap.socket"
INSTALLED_SERVER = "/usr/local/bin/corvanta-server"
INSTALLED_USERS = "/etc/corvanta/users"
INSTALLED_SERVER_LOG = "/var/log/corvanta/server.log"


class StackError(Exception):
    """A part that would not start; the text is one line for the user."""


def random_address():
    return "127.%d.%d.%d" % (random.randint(20, 250), random.randint(1, 250), random.randint(2, 250))


# What to do when port 80 cannot be had, for the one line the user sees.
NO_ROOT = ("ports below 1024 need root: run `sudo make run`, or allow them with "
           "`sudo sysctl net.ipv4.ip_unprivileged_port_start=80`")
PORT_TAKEN = ("port %d is taken on every loopback address: a server listens on all addresses "
              "(0.0.0.0:%d); stop it and try again")


def bind_error(addr, port):
    """None when addr:port can be bound now, else the errno."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind((addr, port))
        return None
    except OSError as e:
        return e.errno
    finally:
        s.close()


def free_address(ports=(80,)):
    """A loopback address on which every one of `ports` is free."""
    errors = set()
    for _ in range(100):
        addr = random_address()
        failed = [(p, bind_error(addr, p)) for p in ports]
        failed = [(p, e) for p, e in failed if e is not None]
        if not failed:
            return addr
        for p, e in failed:
            if e in (errno.EACCES, errno.EPERM):
                raise StackError("cannot listen on port %d: %s" % (p, NO_ROOT))
            errors.add(p)
    p = min(errors)
    raise StackError(PORT_TAKEN % (p, p))


def wait_port(addr, port, timeout=10.0, alive=None):
    end = time.time() + timeout
    while time.time() < end:
        if alive is not None and not alive():
            return False
        s = socket.socket()
        try:
            s.settimeout(0.5)
            s.connect((addr, port))
            return True
        except OSError:
            time.sleep(0.05)
        finally:
            s.close()
    return False


def adapt(text, replacements, name):
    """The deploy file's text with each installed path or setting replaced;
    every one must occur, so that a changed deploy file fails loudly here
    instead of being run half adapted."""
    for old, new in replacements:
        if old not in text:
            raise StackError("%s no longer holds %r" % (name, old))
        text = text.replace(old, new)
    return text


def deploy_file(*parts):
    with open(os.path.join(DEPLOY, *parts)) as f:
        return f.read()


def write_balancer_conf(path, servers, start=SITE_START, minimum=None, extra=""):
    lines = ["# written by the local stack"] + ["server %s" % s for s in servers] + ["start %s" % start]
    if minimum:
        lines.append("minimum-version %s" % minimum)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n" + extra)


class Process:
    """A started program with its output in a file."""

    def __init__(self, args, out_path, env=None):
        self.args = args
        self.out_path = out_path
        self.out = open(out_path, "wb")
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     env=env, start_new_session=True)

    def alive(self):
        return self.proc.poll() is None

    def output(self):
        try:
            with open(self.out_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def last_line(self):
        lines = [l for l in self.output().splitlines() if l.strip()]
        return lines[-1] if lines else "(no output)"

    def stop(self, timeout=10):
        if self.proc.poll() is None:
            # The program's own process group: a rendering server's engine
            # processes go with it.
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except OSError:
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                except OSError:
                    pass
                self.proc.wait()
        self.out.close()


class RenderingServer:
    def __init__(self, process, addr, log):
        self.process, self.addr, self.log = process, addr, log

    def records(self):
        """The server's log, one JSON object a line."""
        import json
        out = []
        try:
            with open(self.log) as f:
                for line in f:
                    line = line.strip()
                    if line:
                        try:
                            out.append(json.loads(line))
                        except ValueError:
                            pass
        except OSError:
            pass
        return out


class Stack:
    """nginx with fcgiwrap, and rendering servers, started on demand."""

    def __init__(self, build, work=None, keep=False):
        self.build = os.path.abspath(build)
        self.work = work or tempfile.mkdtemp(prefix="cvstack-")
        os.makedirs(self.work, exist_ok=True)
        self.keep = keep
        self.parts = []  # Process, in start order
        self.servers = []
        self.nginx = None
        self.fcgi_socket = os.path.join(self.work, "fcgiwrap.sock")
        self.balancer_conf = os.path.join(self.work, "balancer.conf")
        self.balancer_addr = self.site_addr = None
        self.balancer_port = None
        self._usage = None

    # fcgiwrap runs the CGI programs for nginx.
    def _start_fcgiwrap(self):
        if any(p.args[0] == "fcgiwrap" for p in self.parts):
            return
        if shutil.which("fcgiwrap") is None:
            raise StackError("fcgiwrap is not installed (scripts/bootstrap installs it)")
        p = Process(["fcgiwrap", "-f", "-c", "4", "-s", "unix:" + self.fcgi_socket], os.path.join(self.work, "fcgiwrap.out"))
        self.parts.append(p)
        end = time.time() + 5
        while not os.path.exists(self.fcgi_socket):
            if not p.alive() or time.time() > end:
                raise StackError("fcgiwrap did not start: " + p.last_line())
            time.sleep(0.02)

    def nginx_conf(self, balancer, site, balancer_env=None):
        """The nginx configuration: the deploy/ server blocks for the balancer
        (on balancer = (addr, port)) and the sample site (on site = addr,
        port 80), each adapted to this stack."""
        d = self.work
        blocks = []
        if balancer:
            addr, port = balancer
            text = adapt(deploy_file("nginx", "corvanta-balancer"), [
                ("listen 80;", "listen %s:%d;" % (addr, port)),
                (INSTALLED_SOCKET, "unix:" + self.fcgi_socket),
                (INSTALLED_CGI, os.path.join(self.build, "loadbalance.cgi")),
                (INSTALLED_CONF, self.balancer_conf),
                ("include fastcgi_params;", "include /etc/nginx/fastcgi_params;"),
            ], "deploy/nginx/corvanta-balancer")
            if balancer_env:
                extra = "".join("        fastcgi_param %s %s;\n" % kv for kv in balancer_env.items())
                text = text.replace("        fastcgi_pass ", extra + "        fastcgi_pass ", 1)
            blocks.append(text)
        if site:
            blocks.append(adapt(deploy_file("nginx", "corvanta-sample-site"), [
                ("listen 80;", "listen %s:80;" % site),
                (INSTALLED_SOCKET, "unix:" + self.fcgi_socket),
                (INSTALLED_SITE, os.path.join(SOURCE, "site")),
                ("include fastcgi_params;", "include /etc/nginx/fastcgi_params;"),
            ], "deploy/nginx/corvanta-sample-site"))
        user = "user root;\n" if os.geteuid() == 0 else ""
        return """%(user)sdaemon off;
master_process off;
worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log info;
events { worker_connections 256; }
http {
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  access_log %(d)s/access.log;
  client_body_temp_path %(d)s/body;
  fastcgi_temp_path %(d)s/fastcgi;
  proxy_temp_path %(d)s/proxy;
  uwsgi_temp_path %(d)s/uwsgi;
  scgi_temp_path %(d)s/scgi;
%(blocks)s
}
""" % {"user": user, "d": d, "blocks": "\n".join(blocks)}

    def start_nginx(self, balancer=True, site=True, balancer_port=8080, balancer_env=None, tries=5):
        """Starts nginx with the balancer and/or the sample site on fresh
        loopback addresses; retries with others when one is taken meanwhile."""
        if shutil.which("nginx") is None:
            raise StackError("nginx is not installed (scripts/bootstrap installs it)")
        self._start_fcgiwrap()
        last = ""
        for _ in range(tries):
            b = (free_address((balancer_port,)), balancer_port) if balancer else None
            s = free_address((80,)) if site else None
            conf = os.path.join(self.work, "nginx.conf")
            with open(conf, "w") as f:
                f.write(self.nginx_conf(b, s, balancer_env))
            p = Process(["nginx", "-c", conf, "-p", self.work + "/"], os.path.join(self.work, "nginx.out"))
            checks = ([b] if b else []) + ([(s, 80)] if s else [])
            if all(wait_port(a, port, alive=p.alive) for a, port in checks):
                self.nginx = p
                self.parts.append(p)
                self.balancer_addr, self.balancer_port = (b if b else (None, None))
                self.site_addr = s
                return
            p.stop()
            last = self.nginx_error() or p.last_line()
            if "Permission denied" in last:
                raise StackError("nginx cannot listen on port 80: " + NO_ROOT)
        raise StackError("nginx did not start: " + last.strip())

    def nginx_error(self):
        """The last error nginx wrote to its own log."""
        try:
            with open(os.path.join(self.work, "error.log")) as f:
                lines = [l for l in f if "[emerg]" in l or "[alert]" in l or "[crit]" in l]
            return lines[-1].strip() if lines else ""
        except OSError:
            return ""

    def error_log(self):
        try:
            with open(os.path.join(self.work, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def server_binary(self):
        path = os.path.join(self.build, "corvanta-server")
        if not os.access(path, os.X_OK):
            raise StackError("%s is not built" % path)
        return path

    def server_usage(self):
        """The rendering server's usage text: which options it takes."""
        if self._usage is None:
            r = subprocess.run([self.server_binary(), "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, timeout=30)
            self._usage = r.stdout.decode("utf-8", "replace")
        return self._usage

    def unit_command(self, log):
        """The command line of deploy/'s systemd unit, with the installed
        paths replaced by the build's server, the example users file and a
        log of this stack's own."""
        text = deploy_file("systemd", "corvanta-server.service")
        lines = [l for l in text.splitlines() if l.startswith("ExecStart=")]
        if len(lines) != 1:
            raise StackError("deploy/systemd/corvanta-server.service has no single ExecStart line")
        line = adapt(lines[0][len("ExecStart="):], [
            (INSTALLED_SERVER, self.server_binary()),
            (INSTALLED_USERS, os.path.join(DEPLOY, "users.example")),
            (INSTALLED_SERVER_LOG, log),
        ], "the unit's ExecStart")
        return line.split()

    def start_server(self, max_sessions=None, users=None, map_site=True, extra=(), unit=False, tries=5,
                     timeout=30):
        """Starts a rendering server on port 80 of a fresh loopback address
        and waits for its "listening on" line. With `unit`, its command line
        is the deploy/ unit's."""
        binary = self.server_binary()
        last = ""
        for _ in range(tries):
            addr = free_address((80,))
            n = len(self.servers) + 1
            log = os.path.join(self.work, "server%d.log" % n)
            if unit:
                args = self.unit_command(log) + ["--listen", addr]
            else:
                args = [binary, "--listen", addr, "--port", "80", "--log", log]
            if max_sessions is not None:
                args += ["--max-sessions", str(max_sessions)]
            if users:
                args += ["--users", users]
            if map_site and self.site_addr:
                args += ["--map-host", "%s=%s" % (SITE_HOST, self.site_addr)]
                # A server that keeps its engine from loopback and private
                # addresses must be told that the sample site may be reached.
                if "--allow-host" in self.server_usage():
                    args += ["--allow-host", "%s:80" % SITE_HOST]
            args += list(extra)
            p = Process(args, os.path.join(self.work, "server%d.out" % n))
            end = time.time() + timeout
            while time.time() < end and p.alive() and "listening on" not in p.output():
                time.sleep(0.05)
            if "listening on" in p.output():
                self.parts.append(p)
                s = RenderingServer(p, addr, log)
                self.servers.append(s)
                return s
            p.stop()
            last = p.last_line()
            if "ermission denied" in last:
                raise StackError("the rendering server cannot listen on port 80: " + NO_ROOT)
        raise StackError("the rendering server did not start: " + last.strip())

    def stop(self):
        for p in reversed(self.parts):
            p.stop()
        self.parts = []
        if not self.keep:
            shutil.rmtree(self.work, ignore_errors=True)


class LiveClient:
    """The client on the emulated device, headless, driven through a pipe:
    the device reads its script line by line, so commands can be sent when
    something has happened (the first page has arrived) rather than after a
    guessed time."""

    def __init__(self, client, root, extra=()):
        self.root = root
        self.fifo = os.path.join(root, "live.script")
        if os.path.exists(self.fifo):
            os.unlink(self.fifo)
        os.mkfifo(self.fifo)
        self.err_path = os.path.join(root, "live.err")
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([client, "--root", root, "--headless", "--script", self.fifo] + list(extra),
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        self.fd = None
        while self.fd is None and self.proc.poll() is None:
            try:
                self.fd = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                time.sleep(0.02)
        if self.fd is not None:
            os.set_blocking(self.fd, True)

    def send(self, *lines):
        if self.fd is None:
            return False
        try:
            os.write(self.fd, "".join(l + "\n" for l in lines).encode())
            return True
        except OSError:
            return False

    def page_arrived(self):
        """True once the page file holds a complete page (its end tag)."""
        try:
            with open(os.path.join(self.root, "cv", "kivo.txt"), "rb") as f:
                data = f.read()
        except OSError:
            return False
        return b"<ST>" in data or b"<SS" in data

    def wait_page(self, timeout=60):
        end = time.time() + timeout
        while time.time() < end and self.proc.poll() is None:
            if self.page_arrived():
                return True
            time.sleep(0.05)
        return self.page_arrived()

    def screenshot(self, path, settle=500, timeout=60):
        """Waits until the device has been idle for `settle` ms, then writes
        the screen to `path`; True once the file is complete."""
        done = path + ".done"
        for p in (path, done):
            if os.path.exists(p):
                os.unlink(p)
        # The second, throw-away screenshot is written only after the first
        # is complete.
        if not self.send("wait-idle %d" % settle, "screenshot " + path, "screenshot " + done):
            return False
        end = time.time() + timeout
        while time.time() < end and self.proc.poll() is None and not os.path.exists(done):
            time.sleep(0.05)
        if os.path.exists(done):
            os.unlink(done)
            return True
        return False

    def error_text(self):
        try:
            with open(self.err_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def close(self, timeout=30):
        """Ends the script (the device switches off) and waits for the
        emulator; returns its exit code."""
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()
