// quic_peer: an independent QUIC peer for the interop tests, built on
// quic-go. As a server it listens on loopback; as a client it dials. Either
// way it echoes every stream its peer opens, opens streams of its own that
// carry seeded pseudo-random bytes and checks that they come back intact,
// and reports on standard output, one line per fact:
//
//	LISTEN <port>                      server: ready for the handshake
//	CONNECTED alpn=.. version=.. cert=..
//	PEER_PARAMS <transport parameters the peer announced>
//	VERIFIED stream=<id> bytes=<n> sha256=<hex>   or   MISMATCH ...
//	ECHOED stream=<id> bytes=<n> end=<how the peer ended it>
//	CLOSED by=<peer|us> code=<n>
//	DROPPED <count> LARGEST_PACKET <bytes>
//	RESULT ok|fail <why>
//
// A line "close" on standard input closes the connection with code 0. The
// exit code is 0 only when every opened stream came back intact and the
// connection ended with application code 0.
package main

import (
	"bufio"
	"context"
	"crypto/ecdsa"
	"crypto/elliptic"
	"crypto/rand"
	"crypto/sha256"
	"crypto/tls"
	"crypto/x509"
	"crypto/x509/pkix"
	"errors"
	"flag"
	"fmt"
	"hash"
	"io"
	"math/big"
	mrand "math/rand"
	"net"
	"os"
	"strings"
	"sync"
	"time"

	"github.com/lucas-clemente/quic-go"
	"github.com/lucas-clemente/quic-go/logging"
)

// The tunnel stream preamble: this marker and the port as six digits.
const preambleMarker = "{68D391E7-4D5E-4989-887A-BA5083149BC9}"

var out = struct {
	sync.Mutex
	w *bufio.Writer
}{w: bufio.NewWriter(os.Stdout)}

func report(format string, args ...interface{}) {
	out.Lock()
	defer out.Unlock()
	fmt.Fprintf(out.w, format+"\n", args...)
	out.w.Flush()
}

// tracer records what the peer announced and what this side had to drop.
type tracer struct {
	logging.NullConnectionTracer
	mu            sync.Mutex
	params        string
	dropped       map[string]int
	largestPacket logging.ByteCount
	version       logging.VersionNumber
	closeErr      error
	negotiation   string
}

func (t *tracer) ReceivedVersionNegotiationPacket(_ *logging.Header, versions []logging.VersionNumber) {
	t.mu.Lock()
	defer t.mu.Unlock()
	t.negotiation = fmt.Sprint(versions)
}

// reportNegotiation tells what a Version Negotiation packet offered, if one came.
func (t *tracer) reportNegotiation() {
	t.mu.Lock()
	defer t.mu.Unlock()
	if t.negotiation != "" {
		report("VERSION_NEGOTIATION offered=%s", t.negotiation)
	}
}

func (t *tracer) ClosedConnection(err error) {
	t.mu.Lock()
	defer t.mu.Unlock()
	t.closeErr = err
}

func (t *tracer) ReceivedTransportParameters(p *logging.TransportParameters) {
	t.mu.Lock()
	defer t.mu.Unlock()
	t.params = fmt.Sprintf("max_udp_payload_size=%s initial_max_data=%d "+
		"initial_max_stream_data_bidi_local=%d initial_max_stream_data_bidi_remote=%d "+
		"initial_max_stream_data_uni=%d initial_max_streams_bidi=%d initial_max_streams_uni=%d "+
		"max_idle_timeout=%s ack_delay_exponent=%d max_ack_delay=%s active_connection_id_limit=%s "+
		"disable_active_migration=%t max_datagram_frame_size=%d",
		absentAs(int64(p.MaxUDPPayloadSize), 1<<62-1), p.InitialMaxData, p.InitialMaxStreamDataBidiLocal,
		p.InitialMaxStreamDataBidiRemote, p.InitialMaxStreamDataUni, p.MaxBidiStreamNum,
		p.MaxUniStreamNum, p.MaxIdleTimeout, p.AckDelayExponent, p.MaxAckDelay,
		absentAs(int64(p.ActiveConnectionIDLimit), 0), p.DisableActiveMigration, int64(p.MaxDatagramFrameSize))
}

// absentAs names the value quic-go puts in place of a parameter the peer
// left out (the protocol's default then applies, which quic-go may not use).
func absentAs(value, placeholder int64) string {
	if value == placeholder {
		return "absent"
	}
	return fmt.Sprint(value)
}

func (t *tracer) ReceivedPacket(hdr *logging.ExtendedHeader, size logging.ByteCount, _ []logging.Frame) {
	t.mu.Lock()
	defer t.mu.Unlock()
	if hdr.IsLongHeader && t.version == 0 {
		t.version = hdr.Version
	}
	if size > t.largestPacket {
		t.largestPacket = size
	}
}

func (t *tracer) DroppedPacket(kind logging.PacketType, _ logging.ByteCount, reason logging.PacketDropReason) {
	t.mu.Lock()
	defer t.mu.Unlock()
	t.dropped[fmt.Sprintf("type=%s reason=%s", packetTypes[kind], dropReasons[reason])]++
}

var versionNames = map[string]quic.VersionNumber{
	"v1": quic.Version1, "v2": quic.Version2, "draft29": quic.VersionDraft29,
}

var packetTypes = map[logging.PacketType]string{
	logging.PacketTypeInitial: "initial", logging.PacketTypeHandshake: "handshake",
	logging.PacketTypeRetry: "retry", logging.PacketType0RTT: "0rtt",
	logging.PacketTypeVersionNegotiation: "version-negotiation", logging.PacketType1RTT: "1rtt",
	logging.PacketTypeStatelessReset: "stateless-reset", logging.PacketTypeNotDetermined: "undetermined",
}

var dropReasons = map[logging.PacketDropReason]string{
	logging.PacketDropKeyUnavailable: "key-unavailable", logging.PacketDropUnknownConnectionID: "unknown-connection-id",
	logging.PacketDropHeaderParseError: "header-parse-error", logging.PacketDropPayloadDecryptError: "decrypt-error",
	logging.PacketDropProtocolViolation: "protocol-violation", logging.PacketDropDOSPrevention: "receive-queue-full",
	logging.PacketDropUnsupportedVersion: "unsupported-version", logging.PacketDropUnexpectedPacket: "unexpected-packet",
	logging.PacketDropUnexpectedSourceConnectionID: "unexpected-source-connection-id",
	logging.PacketDropUnexpectedVersion:            "unexpected-version", logging.PacketDropDuplicate: "duplicate",
}

type tracerFactory struct {
	logging.NullTracer
	conn *tracer
}

// Packets dropped before they reach a connection (a first Initial that
// does not parse, for one) count too.
func (f tracerFactory) DroppedPacket(_ net.Addr, kind logging.PacketType, size logging.ByteCount, reason logging.PacketDropReason) {
	f.conn.DroppedPacket(kind, size, reason)
}

func (f tracerFactory) TracerForConnection(context.Context, logging.Perspective, logging.ConnectionID) logging.ConnectionTracer {
	return f.conn
}

func selfSigned() (tls.Certificate, error) {
	key, err := ecdsa.GenerateKey(elliptic.P256(), rand.Reader)
	if err != nil {
		return tls.Certificate{}, err
	}
	template := x509.Certificate{
		SerialNumber: big.NewInt(1),
		Subject:      pkix.Name{CommonName: "quic-peer"},
		DNSNames:     []string{"localhost"},
		IPAddresses:  []net.IP{net.IPv4(127, 0, 0, 1)},
		NotBefore:    time.Now().Add(-time.Hour),
		NotAfter:     time.Now().Add(24 * time.Hour),
		KeyUsage:     x509.KeyUsageDigitalSignature,
		ExtKeyUsage:  []x509.ExtKeyUsage{x509.ExtKeyUsageServerAuth},
	}
	der, err := x509.CreateCertificate(rand.Reader, &template, &template, &key.PublicKey, key)
	if err != nil {
		return tls.Certificate{}, err
	}
	return tls.Certificate{Certificate: [][]byte{der}, PrivateKey: key}, nil
}

// pattern writes `size` seeded pseudo-random bytes to w and into h.
func pattern(w io.Writer, h hash.Hash, seed int64, size int) error {
	source := mrand.New(mrand.NewSource(seed))
	buffer := make([]byte, 32<<10)
	for size > 0 {
		n := len(buffer)
		if n > size {
			n = size
		}
		source.Read(buffer[:n])
		h.Write(buffer[:n])
		if _, err := w.Write(buffer[:n]); err != nil {
			return err
		}
		size -= n
	}
	return nil
}

// exercise sends the pattern on a stream it opened and checks the echo.
// `echoing`, when not nil, is closed once the first echoed byte is back.
func exercise(stream quic.Stream, index int, size int, preamblePort int, echoing chan struct{}) bool {
	id := stream.StreamID()
	if preamblePort > 0 {
		if _, err := fmt.Fprintf(stream, "%s%06d", preambleMarker, preamblePort); err != nil {
			report("MISMATCH stream=%d preamble: %v", id, err)
			return false
		}
	}
	sent := sha256.New()
	writeErr := make(chan error, 1)
	go func() { writeErr <- pattern(stream, sent, int64(1000+index), size) }()
	received := sha256.New()
	var got int64
	var err error
	if echoing != nil {
		if size > 0 {
			got, err = io.CopyN(received, stream, 1)
		}
		close(echoing)
	}
	if err == nil {
		var rest int64
		rest, err = io.CopyN(received, stream, int64(size)-got)
		got += rest
	}
	if werr := <-writeErr; werr != nil {
		report("MISMATCH stream=%d write: %v", id, werr)
		return false
	}
	if err != nil {
		report("MISMATCH stream=%d bytes=%d read: %v", id, got, err)
		return false
	}
	want, have := sent.Sum(nil), received.Sum(nil)
	if string(want) != string(have) {
		report("MISMATCH stream=%d bytes=%d sha256=%x want=%x", id, got, have, want)
		return false
	}
	// The send side ends with a FIN once the echo is complete.
	stream.Close()
	report("VERIFIED stream=%d bytes=%d sha256=%x", id, got, have)
	return true
}

func describeEnd(err error) string {
	if err == nil || err == io.EOF {
		return "fin"
	}
	var streamErr *quic.StreamError
	if errors.As(err, &streamErr) {
		return fmt.Sprintf("reset code=%d", streamErr.ErrorCode)
	}
	var appErr *quic.ApplicationError
	if errors.As(err, &appErr) {
		return fmt.Sprintf("connection-closed code=%d", appErr.ErrorCode)
	}
	return "error " + strings.ReplaceAll(err.Error(), "\n", " ")
}

// echo returns every byte of a stream the peer opened, and a FIN for its FIN.
func echo(stream quic.Stream) {
	n, err := io.Copy(stream, stream)
	if err == nil {
		stream.Close()
	}
	report("ECHOED stream=%d bytes=%d end=%s", stream.StreamID(), n, describeEnd(err))
}

func run() int {
	mode := flag.String("mode", "client", "server or client")
	addr := flag.String("addr", "127.0.0.1:0", "server: address to listen on; client: address to dial")
	alpn := flag.String("alpn", "", "the application protocol (ALPN) to offer or accept")
	open := flag.Int("open", 0, "streams this side opens")
	size := flag.Int("size", 1<<20, "bytes sent (and expected back) on each opened stream")
	preamble := flag.Int("preamble", 0, "start each opened stream with a tunnel preamble naming this port")
	control := flag.Bool("control", false, "the first opened stream is a control stream: no preamble, "+
		"and the others open once its first echoed byte is back")
	timeout := flag.Duration("timeout", 60*time.Second, "give up after this long")
	versions := flag.String("versions", "", "QUIC versions to offer or accept, in order "+
		"(v1, v2, draft29, or hex); empty: quic-go's own list")
	flag.Parse()

	trace := &tracer{dropped: map[string]int{}}
	config := &quic.Config{
		MaxIdleTimeout:       30 * time.Second,
		HandshakeIdleTimeout: 10 * time.Second,
		Tracer:               tracerFactory{conn: trace},
	}
	if *versions != "" {
		for _, name := range strings.Split(*versions, ",") {
			version, ok := versionNames[name]
			if !ok {
				var number uint32
				if _, err := fmt.Sscanf(name, "0x%x", &number); err != nil {
					report("RESULT fail unknown version %q", name)
					return 1
				}
				version = quic.VersionNumber(number)
			}
			config.Versions = append(config.Versions, version)
		}
	}
	ctx, cancel := context.WithTimeout(context.Background(), *timeout)
	defer cancel()
	// Whatever it waits for (a stream write the peer never makes room for),
	// the peer ends by its deadline.
	time.AfterFunc(*timeout+5*time.Second, func() {
		report("RESULT fail timeout")
		os.Exit(2)
	})

	var conn quic.Connection
	switch *mode {
	case "server":
		cert, err := selfSigned()
		if err != nil {
			report("RESULT fail certificate: %v", err)
			return 1
		}
		tlsConf := &tls.Config{Certificates: []tls.Certificate{cert}, NextProtos: []string{*alpn}}
		listener, err := quic.ListenAddr(*addr, tlsConf, config)
		if err != nil {
			report("RESULT fail listen: %v", err)
			return 1
		}
		defer listener.Close()
		report("LISTEN %d", listener.Addr().(*net.UDPAddr).Port)
		conn, err = listener.Accept(ctx)
		if err != nil {
			report("RESULT fail accept: %v", err)
			return 2
		}
	case "client":
		// Our side presents a per-run self-signed certificate.
		tlsConf := &tls.Config{InsecureSkipVerify: true, NextProtos: []string{*alpn}}
		var err error
		conn, err = quic.DialAddrContext(ctx, *addr, tlsConf, config)
		trace.reportNegotiation()
		if err != nil {
			report("RESULT fail dial: %s", describeEnd(err))
			return 2
		}
	default:
		report("RESULT fail unknown mode %q", *mode)
		return 1
	}

	state := conn.ConnectionState()
	certName := ""
	if certs := state.TLS.PeerCertificates; len(certs) > 0 {
		certName = fmt.Sprintf("%s/%s/%v", certs[0].Subject.CommonName,
			x509.PublicKeyAlgorithm(certs[0].PublicKeyAlgorithm), certs[0].DNSNames)
	}
	trace.mu.Lock()
	report("CONNECTED alpn=%s version=%s cert=%s", state.TLS.NegotiatedProtocol, trace.version, certName)
	report("PEER_PARAMS %s", trace.params)
	trace.mu.Unlock()

	go func() {
		for {
			stream, err := conn.AcceptStream(ctx)
			if err != nil {
				return
			}
			go echo(stream)
		}
	}()

	var wg sync.WaitGroup
	results := make(chan bool, *open)
	for i := 0; i < *open; i++ {
		stream, err := conn.OpenStreamSync(ctx)
		if err != nil {
			report("MISMATCH open: %s", describeEnd(err))
			results <- false
			continue
		}
		port := *preamble
		var echoing chan struct{}
		if *control && i == 0 {
			port = 0
			echoing = make(chan struct{})
		}
		wg.Add(1)
		go func(i int) {
			defer wg.Done()
			results <- exercise(stream, i, *size, port, echoing)
		}(i)
		// The peer takes the first stream it sees as its control stream.
		if echoing != nil {
			select {
			case <-echoing:
			case <-ctx.Done():
			}
		}
	}

	closedByUs := make(chan struct{})
	go func() {
		scanner := bufio.NewScanner(os.Stdin)
		for scanner.Scan() {
			if strings.TrimSpace(scanner.Text()) == "close" {
				close(closedByUs)
				conn.CloseWithError(0, "done")
				return
			}
		}
	}()

	wg.Wait()
	verified := 0
	for i := 0; i < *open; i++ {
		if <-results {
			verified++
		}
	}

	var closeCode int64 = -1
	by := "peer"
	select {
	case <-conn.Context().Done():
		select {
		case <-closedByUs:
			by, closeCode = "us", 0
		default:
			// The tracer hears of the close when the connection's loop ends.
			deadline := time.Now().Add(5 * time.Second)
			for {
				trace.mu.Lock()
				err := trace.closeErr
				trace.mu.Unlock()
				if err != nil || time.Now().After(deadline) {
					var appErr *quic.ApplicationError
					if errors.As(err, &appErr) && appErr.Remote {
						closeCode = int64(appErr.ErrorCode)
					} else if err != nil {
						report("CLOSE_ERROR %s", describeEnd(err))
					}
					break
				}
				time.Sleep(10 * time.Millisecond)
			}
		}
	case <-ctx.Done():
		report("RESULT fail timeout: %d of %d streams verified, connection still open", verified, *open)
		return 2
	}
	report("CLOSED by=%s code=%d", by, closeCode)
	trace.mu.Lock()
	dropped := 0
	for what, count := range trace.dropped {
		dropped += count
		report("DROP %s x%d", what, count)
	}
	report("DROPPED %d LARGEST_PACKET %d", dropped, trace.largestPacket)
	trace.mu.Unlock()
	if verified != *open {
		report("RESULT fail %d of %d streams verified", verified, *open)
		return 1
	}
	if closeCode != 0 {
		report("RESULT fail connection ended with code %d", closeCode)
		return 1
	}
	report("RESULT ok")
	return 0
}

func main() {
	os.Exit(run())
}
