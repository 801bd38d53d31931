#!/usr/bin/perl
# A throwaway RFC 3161 timestamping authority on 127.0.0.1, for the signing test: each
# POSTed query is answered by openssl ts -reply with the configuration CONFIG. Writes
# the port it listens on to PORT-FILE once it listens, then serves until it is killed.
# usage: tsa.pl CONFIG PORT-FILE
use strict;
use warnings;
use IO::Socket::INET;

my ($config, $port_file) = @ARGV;
my $server = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 0, Listen => 5,
                                   ReuseAddr => 1) or die "tsa.pl: cannot listen: $!\n";
open(my $out, '>', "$port_file.new") or die "tsa.pl: $port_file: $!\n";
print $out $server->sockport, "\n";
close $out;
rename("$port_file.new", $port_file) or die "tsa.pl: $port_file: $!\n";

while (my $client = $server->accept) {
    binmode $client;
    my ($length, $line) = (0);
    while (defined($line = <$client>) && $line ne "\r\n") {
        $length = $1 if $line =~ /^Content-Length:\s*(\d+)/i;
    }
    my $query = '';
    read($client, $query, $length - length($query), length($query))
        while length($query) < $length && !eof($client);
    open(my $q, '>:raw', "$port_file.tsq") or die;
    print $q $query;
    close $q;
    my $reply = '';
    if (system('openssl', 'ts', '-reply', '-config', $config, '-queryfile', "$port_file.tsq",
               '-out', "$port_file.tsr") == 0 && open(my $r, '<:raw', "$port_file.tsr")) {
        local $/;
        $reply = <$r>;
    }
    if (length $reply) {
        print $client "HTTP/1.0 200 OK\r\nContent-Type: application/timestamp-reply\r\n",
                      "Content-Length: ", length($reply), "\r\n\r\n", $reply;
    } else {
        print $client "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
    }
    close $client;
}
