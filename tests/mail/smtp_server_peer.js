// A second real SMTP server for the session tests: the npm smtp-server.
// usage: node smtp_server_peer.js PORT METHODS OUTDIR
//   METHODS: comma list advertised after AUTH, e.g. CRAM-MD5 or DIGEST-MD5
// Login: user / s3cret:pw. Each message is saved as OUTDIR/N.eml.
const { SMTPServer } = require("smtp-server");
const fs = require("fs");
const path = require("path");

const [port, methods, outdir] = process.argv.slice(2);
let count = 0;
const server = new SMTPServer({
  authMethods: methods.split(","),
  allowInsecureAuth: true,
  disabledCommands: ["STARTTLS"],
  logger: false,
  onAuth(auth, session, callback) {
    const ok = auth.username === "user" &&
      (auth.method === "CRAM-MD5" ? auth.validatePassword("s3cret:pw") : auth.password === "s3cret:pw");
    if (!ok) return callback(new Error("Invalid username or password"));
    callback(null, { user: "user" });
  },
  onData(stream, session, callback) {
    const chunks = [];
    stream.on("data", (c) => chunks.push(c));
    stream.on("end", () => {
      count += 1;
      const base = path.join(outdir, String(count));
      fs.writeFileSync(base + ".eml.tmp", Buffer.concat(chunks));
      fs.renameSync(base + ".eml.tmp", base + ".eml");
      callback(null, "OK");
    });
  },
});
server.listen(Number(port), "127.0.0.1", () => console.log("READY"));
process.on("SIGTERM", () => server.close(() => process.exit(0)));
