// Console client of the control daemon: runs one command on a node.
//
//   java -classpath DIR cons -p PORT NODE REALM COMMAND
//
// COMMAND is read into words as a shell would (quotes, backslashes; nothing
// expanded) and the words are run on the node without a shell. The command's
// output and error output come back on standard output and standard error;
// standard input goes to the command. The exit status is the command's exit
// code. A refused request prints "not allowed: " and the reason; a failed
// connection prints the exception. A daemon that does not answer the request
// within 30 seconds, then sends nothing for SM_CONS_IDLE_TIMEOUT seconds
// (default 600), or whose node stops answering keepalive probes, is given up.
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

public class cons {
    static final int CONNECT_TIMEOUT_MS = 5000;
    static final int ANSWER_TIMEOUT_MS = 30000;
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
        StringBuilder why = new StringBuilder();
        byte[] wire = wireCommand(commandBytes(args[4]), why);
        if (wire == null) {
            System.out.println("not allowed: " + why);
            System.exit(1);
        }
        System.exit(run(args[2], Integer.parseInt(args[1]), "root", wire));
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

    // The command line's words as a POSIX shell reads them, without any
    // expansion: blanks separate, '...' is literal, "..." keeps its text with
    // \\ \" \$ \` escaped, a backslash outside quotes shields the next byte.
    // Joined with the daemon's word separator, which no word may hold; null
    // with the reason in why otherwise.
    static byte[] wireCommand(byte[] line, StringBuilder why) {
        java.util.List<byte[]> words = new java.util.ArrayList<>();
        java.io.ByteArrayOutputStream word = new java.io.ByteArrayOutputStream();
        boolean inWord = false;
        final int n = line.length;
        for (int i = 0; i < n; ++i) {
            byte c = line[i];
            if (c == ' ' || c == '\t' || c == '\n') {
                if (inWord) words.add(word.toByteArray());
                word.reset();
                inWord = false;
                continue;
            }
            inWord = true;
            if (c == '\'') {
                int end = i + 1;
                while (end < n && line[end] != '\'') ++end;
                if (end >= n) return fail(why, "unclosed single quote");
                word.write(line, i + 1, end - i - 1);
                i = end;
            } else if (c == '"') {
                for (++i;; ++i) {
                    if (i >= n) return fail(why, "unclosed double quote");
                    if (line[i] == '"') break;
                    if (line[i] == '\\' && i + 1 < n && "\\\"$`\n".indexOf(line[i + 1]) >= 0) ++i;
                    word.write(line[i]);
                }
            } else if (c == '\\' && i + 1 < n) {
                word.write(line[++i]);
            } else {
                word.write(c);
            }
        }
        if (inWord) words.add(word.toByteArray());
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        for (int k = 0; k < words.size(); ++k) {
            for (byte b : words.get(k))
                if (b == '"') return fail(why, "a word holds a double quote");
            if (k > 0) out.write('"');
            out.writeBytes(words.get(k));
        }
        return out.toByteArray();
    }

    static byte[] fail(StringBuilder why, String reason) {
        why.append(reason);
        return null;
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

    static int run(String node, int port, String user, byte[] wire) {
        OutputStream out = new FileOutputStream(FileDescriptor.out);
        OutputStream err = new FileOutputStream(FileDescriptor.err);
        try (Socket s = new Socket(); ServerSocket back = new ServerSocket(0, 1)) {
            s.connect(new InetSocketAddress(node, port), CONNECT_TIMEOUT_MS);
            s.setTcpNoDelay(true);
            keepAlive(s);
            // Urgent bytes (a refusal's code, the exit code) arrive in line.
            s.setOOBInline(true);
            s.setSoTimeout(idleTimeoutMs());
            back.setSoTimeout(CONNECT_TIMEOUT_MS);
            OutputStream to = s.getOutputStream();
            InputStream from = s.getInputStream();
            java.io.ByteArrayOutputStream req = new java.io.ByteArrayOutputStream();
            req.writeBytes(Integer.toString(back.getLocalPort()).getBytes(StandardCharsets.US_ASCII));
            req.write(0);
            req.writeBytes(user.getBytes(StandardCharsets.ISO_8859_1));
            req.write(0);
            req.writeBytes(wire);
            req.write(0);
            to.write(req.toByteArray());
            to.flush();

            // A daemon answers a request at once; one that does not is stuck.
            s.setSoTimeout(Math.min(ANSWER_TIMEOUT_MS, idleTimeoutMs()));
            int answer = from.read();
            s.setSoTimeout(idleTimeoutMs());
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
            // The daemon connects back for the error stream, which ends with
            // the exit code.
            try (Socket e = back.accept()) {
                e.setOOBInline(true);
                keepAlive(e);
                e.setSoTimeout(idleTimeoutMs());
                Thread pump = new Thread(() -> pumpStdin(to));
                pump.setDaemon(true);
                pump.start();
                int[] code = {255};
                IOException[] failed = {null};
                Thread errors = new Thread(() -> {
                    try {
                        code[0] = copy(e.getInputStream(), err, true);
                    } catch (IOException x) {
                        failed[0] = x;
                    }
                });
                errors.start();
                copy(from, out, false);
                errors.join();
                if (failed[0] != null) throw failed[0];
                return code[0];
            }
        } catch (IOException | InterruptedException e) {
            try {
                out.flush();
            } catch (IOException ignored) {
                // nothing more can be said
            }
            System.out.println(e + " (" + node + ":" + port + ")");
            return e instanceof java.net.SocketTimeoutException ? 1 : UNREACHED;
        }
    }

    // A node that drops off the network is noticed within about a minute,
    // however long the command itself stays silent.
    static void keepAlive(Socket s) throws IOException {
        s.setKeepAlive(true);
        try {
            s.setOption(jdk.net.ExtendedSocketOptions.TCP_KEEPIDLE, 30);
            s.setOption(jdk.net.ExtendedSocketOptions.TCP_KEEPINTERVAL, 10);
            s.setOption(jdk.net.ExtendedSocketOptions.TCP_KEEPCOUNT, 3);
        } catch (UnsupportedOperationException e) {
            // the system's own keepalive times then
        }
    }

    // Copies a stream to its end. With holdLast the last byte is not copied
    // but returned (255 when the stream was empty).
    static int copy(InputStream from, OutputStream to, boolean holdLast) throws IOException {
        byte[] buf = new byte[65536];
        int held = -1, r;
        while ((r = from.read(buf)) > 0) {
            if (!holdLast) {
                to.write(buf, 0, r);
            } else {
                if (held >= 0) to.write(held);
                to.write(buf, 0, r - 1);
                held = buf[r - 1] & 0xff;
            }
            to.flush();
        }
        return held >= 0 ? held : 255;
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
