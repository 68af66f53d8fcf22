// Console client of the control daemon: runs one command on a node.
//
//   java -classpath DIR cons -p PORT NODE REALM COMMAND
//
// The command's output and error output come back merged on standard output
// (a console shows one stream); standard input goes to the command. The exit
// status is the command's exit code. A refused request prints "not allowed: "
// and the daemon's reason; a failed connection prints the exception. Without
// a byte from the daemon for SM_CONS_IDLE_TIMEOUT seconds (default 600) the
// session is given up.
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

public class cons {
    static final int COMMAND_MAX = 511;
    static final int CONNECT_TIMEOUT_MS = 5000;
    static final int UNREACHED = 253;
    static final byte[] STDIN_END = "END OF STDIN\0".getBytes(StandardCharsets.US_ASCII);

    public static void main(String[] args) {
        if (args.length != 5 || !args[0].equals("-p")) {
            System.out.println("usage: cons -p PORT NODE REALM COMMAND");
            System.exit(2);
        }
        // Console sessions of the backup system run as its administrator.
        if (!args[3].equals("ZARVO")) {
            System.out.println("not allowed: unknown realm " + args[3]);
            System.exit(1);
        }
        System.exit(run(args[2], Integer.parseInt(args[1]), "root", commandBytes(args[4])));
    }

    // The command exactly as the caller passed it: the argument strings are
    // decoded by the locale, which would mangle bytes above 127.
    static byte[] commandBytes(String fallback) {
        try {
            byte[] all = Files.readAllBytes(Paths.get("/proc/self/cmdline"));
            int end = all.length;
            if (end > 0 && all[end - 1] == 0) --end;
            int start = end;
            while (start > 0 && all[start - 1] != 0) --start;
            byte[] cmd = new byte[end - start];
            System.arraycopy(all, start, cmd, 0, cmd.length);
            return cmd;
        } catch (IOException e) {
            return fallback.getBytes(StandardCharsets.ISO_8859_1);
        }
    }

    // The daemon's words, as its own client splits a command line: blanks
    // separate, quotes group (text after a closing quote up to the next blank
    // is dropped), a backslash shields the next character and stays.
    static byte[] wireCommand(byte[] command) {
        int n = Math.min(command.length, COMMAND_MAX);
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        java.io.ByteArrayOutputStream word = new java.io.ByteArrayOutputStream();
        byte quote = 0;
        boolean dropping = false, first = true;
        for (int i = 0; i < n; ++i) {
            byte c = command[i];
            if (c == '\\' && i + 2 < n) {
                if (!dropping) {
                    word.write(c);
                    word.write(command[i + 1]);
                }
                ++i;
            } else if (quote != 0) {
                if (c == quote) {
                    quote = 0;
                    dropping = true;
                } else {
                    word.write(c);
                }
            } else if (c == ' ') {
                if (!first) out.write('"');
                out.writeBytes(word.toByteArray());
                word.reset();
                first = false;
                dropping = false;
            } else if (dropping) {
                continue;
            } else if (c == '"' || c == '\'') {
                quote = c;
                word.reset();
            } else {
                word.write(c);
            }
        }
        if (!first) out.write('"');
        out.writeBytes(word.toByteArray());
        return out.toByteArray();
    }

    static int idleTimeoutMs() {
        String v = System.getenv("SM_CONS_IDLE_TIMEOUT");
        try {
            if (v != null) return Math.max(1, Integer.parseInt(v.trim())) * 1000;
        } catch (NumberFormatException e) {
            // the default below
        }
        return 600 * 1000;
    }

    static int run(String node, int port, String user, byte[] command) {
        OutputStream out = new FileOutputStream(FileDescriptor.out);
        try (Socket s = new Socket()) {
            s.connect(new InetSocketAddress(node, port), CONNECT_TIMEOUT_MS);
            s.setTcpNoDelay(true);
            // One connection: the exit code travels as its urgent byte, which
            // arrives in line as the last byte before the daemon closes.
            s.setOOBInline(true);
            s.setSoTimeout(idleTimeoutMs());
            OutputStream to = s.getOutputStream();
            InputStream from = s.getInputStream();
            java.io.ByteArrayOutputStream req = new java.io.ByteArrayOutputStream();
            req.write(0);
            req.writeBytes(user.getBytes(StandardCharsets.ISO_8859_1));
            req.write(0);
            req.writeBytes(wireCommand(command));
            req.write(0);
            to.write(req.toByteArray());
            to.flush();

            int answer = from.read();
            if (answer < 0) {
                System.out.println("java.io.IOException: " + node + ":" + port + " is not a control daemon");
                return UNREACHED;
            }
            if (answer != 0) {
                StringBuilder reason = new StringBuilder();
                int c;
                while ((c = from.read()) >= 0 && c != '\n') reason.append((char) c);
                int code = from.read();
                System.out.println("not allowed: " + reason);
                return code > 0 ? code : 1;
            }
            Thread pump = new Thread(() -> pumpStdin(to));
            pump.setDaemon(true);
            pump.start();

            byte[] buf = new byte[65536];
            int held = -1;  // the last byte seen: the exit code once the stream ends
            int r;
            while ((r = from.read(buf)) > 0) {
                if (held >= 0) out.write(held);
                out.write(buf, 0, r - 1);
                held = buf[r - 1] & 0xff;
                out.flush();
            }
            return held >= 0 ? held : 255;
        } catch (IOException e) {
            try {
                out.flush();
            } catch (IOException ignored) {
                // nothing more can be said
            }
            System.out.println(e + " (" + node + ":" + port + ")");
            return e instanceof java.net.SocketTimeoutException ? 1 : UNREACHED;
        }
    }

    static void pumpStdin(OutputStream to) {
        byte[] buf = new byte[1024];
        try {
            int r;
            while ((r = System.in.read(buf)) > 0) {
                to.write(buf, 0, r);
            }
            to.write(STDIN_END);
            to.flush();
        } catch (IOException e) {
            // the session ended first
        }
    }
}
