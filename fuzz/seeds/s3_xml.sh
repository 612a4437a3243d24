#!/bin/sh
# Seeds for the remote-answer fuzz target: the answers the S3 client reads, Content-Range
# values of a request for an object's last bytes, and odd ones.
set -e
dir=$1
printf '<?xml version="1.0" encoding="UTF-8"?>\n<InitiateMultipartUploadResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/"><Bucket>b</Bucket><Key>k</Key><UploadId>abc-123</UploadId></InitiateMultipartUploadResult>' > "$dir/create"
printf '<CopyPartResult><LastModified>2020-01-01T00:00:00Z</LastModified><ETag>&quot;9b2cf535f27731c974343645a3985328&quot;</ETag></CopyPartResult>' > "$dir/copy"
printf '<Error><Code>NoSuchKey</Code><Message>The specified key does not exist.</Message><Key>a &amp; b</Key></Error>' > "$dir/error"
printf '<ListMultipartUploadsResult><IsTruncated>true</IsTruncated><NextKeyMarker>k</NextKeyMarker><Upload><Key>k&#x41;</Key><UploadId>1</UploadId></Upload><Upload><Key><![CDATA[<x>]]></Key><UploadId>2</UploadId></Upload></ListMultipartUploadsResult>' > "$dir/list"
printf '<a:b c="<>" d=\x27/>\x27><!-- x --><e/><f></b></a:b><g>&#0;&#xFFFFFFFF;&#55296;' > "$dir/odd"
printf 'bytes 72-99/100' > "$dir/range"
printf 'bytes 9223372036854775779-9223372036854775806/9223372036854775807' > "$dir/range-large"
